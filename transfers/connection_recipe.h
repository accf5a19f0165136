// How every session of the direct path (document, size probes, file, the
// reporter, the engine update) gets its connection, and how it gives one up.
//
// OpenConnection creates a connection, opens it with the session's action
// type and flags 5 (report connect failures and idle time-outs), sets the
// connect and idle time-outs and the low-speed watchdog, and stacks the
// session's top layer. OpenHttpConnection does that with the HTTP client
// layer, applies the session's pacing, makes `listener` the layer's
// listener (value 0), opens the URL, adds the headers and sends the GET.
// The service lock is held for the whole set-up.
//
// A URL that cannot be opened (bad URL, no address for the host) still ends
// in the listener's OnClosed, delivered later from the message loop, so a
// session always hears how its attempt ended and can retry or fail.
//
// DropConnection closes a connection (unless it is already shutting down)
// and hands it to the deferred-release collector, so it may be called from
// inside the connection's own callbacks; DropHttpConnection first detaches
// the listener from the HTTP layer.
//
// Connections are kept between exchanges. DropHttpConnection parks a
// connection whose response was read to its exact end (Content-Length met,
// no surplus, no close asked) in the network context's idle pool instead of
// closing it, and one whose listener left with at most kDrainLimit body
// bytes still to come after draining them (a size probe only wants the
// head); OpenHttpConnection takes a parked connection to the same origin
// before it makes a new one. A taken connection gets the session's settings
// as a new one would (time-outs, watchdog, flags, and the pacing action made
// afresh, carry included), and a request on it that meets a stale
// connection is sent once more on a new one (transfers/reused_exchange.h).
// Only the recipe's own GET exchanges are kept; the bytes of each request
// are the same either way.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "http/http_client_interfaces.h"
#include "http/http_route.h"
#include "service/base/vz_smart_ptr.h"
#include "transfers/transfer_policy.h"

// What a session's paced connection left of the current second's receive
// budget when it was dropped. The session's next connection, when it opens
// in that same second, starts from what is left instead of a fresh share of
// the second: otherwise every file change would add part of a second's
// budget, and a job of many files would run faster than its rate.
struct ReceiveBudgetCarry {
    bool held = false;
    std::uint32_t second = 0;  // the controller's tick count when saved
    std::uint32_t left = 0;
};

// The low-speed watchdog every exchange runs under: fewer than `bytes` in
// `seconds` and the exchange counts as stalled (an idle time-out). 1 KiB in
// 30 s is far below anything a working transfer moves, the normal-speed
// budget included.
struct LowSpeedLimit {
    std::uint32_t bytes = transfer_policy::kLowSpeedBytes;
    std::uint32_t seconds = transfer_policy::kLowSpeedSeconds;
};
// The limit new connections get; tests shorten it.
LowSpeedLimit DefaultLowSpeedLimit();
void SetLowSpeedLimitForTesting(LowSpeedLimit limit);

struct ConnectionSettings {
    int actionType = 1;
    std::uint32_t connectTimeoutSeconds = 4;
    std::uint32_t idleTimeoutSeconds = 4;
    LowSpeedLimit lowSpeed = DefaultLowSpeedLimit();
};

struct HttpConnectionSettings : ConnectionSettings {
    // When not 0: switch to this action type after opening and give it
    // `receiveRate` bytes per second of receive budget.
    int pacedActionType = 0;
    std::uint32_t receiveRate = 0;
    // Optional: caps the first budget of the paced connection (see above).
    const ReceiveBudgetCarry* carry = nullptr;
    // Lets a chunked body through (AcceptChunkedBody).
    bool acceptChunked = false;
};

// The most body bytes DropHttpConnection reads on for a listener that left
// early, to keep the connection: a small file's body costs less than a new
// connection; a large one is cut off.
inline constexpr std::int64_t kDrainLimit = transfer_policy::kDrainLimitBytes;

using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

// Fills `holder` with a new, opened connection carrying the layer of class
// `topLayer`. False (holder empty) when it could not be made; *whyNot, when
// given, then says why ("the system is out of file descriptors", ...).
[[nodiscard]] bool OpenConnection(vzSmartPtr& holder, const ConnectionSettings& settings,
                                  std::uint32_t topLayer, std::string* whyNot = nullptr);

// Fills `holder` with the new connection along `route` (direct, or through
// a proxy: transfers/proxy_plan.h) and sends the GET. False when it could
// not even be created (see OpenConnection); a route that cannot be opened
// (no address for its host) answers true, sets *openFailure (when given) to
// why, and fails through OnClosed as described above.
[[nodiscard]] bool OpenHttpConnection(vzSmartPtr& holder, const HttpConnectionSettings& settings,
                                      nwIHttpClientExEventListener* listener,
                                      const HttpRoute& route, const HttpHeaders& headers = {},
                                      std::string* whyNot = nullptr,
                                      std::string* openFailure = nullptr);
// The same straight to the URL's origin, without a proxy (tests).
[[nodiscard]] bool OpenHttpConnection(vzSmartPtr& holder, const HttpConnectionSettings& settings,
                                      nwIHttpClientExEventListener* listener,
                                      const std::string& url, const HttpHeaders& headers = {},
                                      std::string* whyNot = nullptr);

// Off, every exchange takes a new connection (tests compare both ways).
void SetConnectionReuseForTesting(bool on);

// The HTTP layer of a held connection (null when none).
vzIHttpClientExLayer* HttpLayerOf(const vzSmartPtr& holder);

// Gives the held connection up: closed first unless `close` is false (it is
// already shutting down), then handed to the deferred-release collector.
void DropConnection(vzSmartPtr& holder, bool close = true);
void DropHttpConnection(vzSmartPtr& holder);
// The same, first saving what the connection left of this second's receive
// budget into `carry`.
void DropHttpConnection(vzSmartPtr& holder, ReceiveBudgetCarry& carry);
