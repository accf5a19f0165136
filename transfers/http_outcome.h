// What the service does when an HTTP exchange goes wrong: one table, by the
// kind of session and the class of what happened. Every session of the
// direct path and the engine update runs its exchanges through
// CHttpExchange (transfers/http_exchange.h), which classifies each answer
// or failure and looks the reaction up here; no session decides on its own.
//
// The reasons for each row are beside it in http_outcome.cpp; the table is
// also written out in docs/architecture.md.
//
// Plain data and pure functions; any thread.
#pragma once

#include <string_view>

#include "transfers/http_exchange_cursor.h"

// Who runs the exchange.
enum class ExchangeRole {
    kDocument,   // the file list, into memory
    kSum,        // the file list's total size, shown before the player starts
    kSizeProbe,  // a job's sizes before its transfer (the disk-space check)
    kFile,       // a job's file, to disk, continued where it stopped
    kUpdate,     // the engine update: manifest, signature, digests, archive
};
inline constexpr int kExchangeRoles = 5;

// What happened to one request.
enum class HttpOutcome {
    // An address the session may not use: not http or https, or not https
    // for the update.
    kAddressRefused,
    // A redirect without a usable Location (none, another scheme, no host).
    kRedirectRefused,
    kTooManyRedirects,
    kClientError,      // 4xx the session does not take (404, 403, ...)
    kServerError,      // 5xx (503, 502, ...)
    kOtherStatus,      // any other status the session cannot use (204, 300, 304, ...)
    kBadHead,          // a head that is not HTTP (a line that is no field, a length that is no number)
    kNotTheBody,       // a body in a content coding, or without the length the session needs
    kWrongPart,        // a part (206, 416) that is not the one asked for
    kNoAddress,        // the host name has no address, or its proxy cannot be used
    kUnreachable,      // no route to the host
    kConnectFailed,    // the connection was refused or timed out
    kProxyRefused,     // the proxy refused the way to the origin (407, 502 on CONNECT)
    kNoConnection,     // this machine could not make a connection (out of descriptors)
    kClosedEarly,      // the connection closed before the answer was whole
    kTooSlow,          // nothing, or too little, came for too long
};
inline constexpr int kHttpOutcomes = 16;

enum class Step {
    kRetry,        // another request to the same address, while attempts last; then the next address
    kNextAddress,  // the next address (mirror) at once
    kFail,         // the exchange fails now, whatever addresses are left
};

struct Reaction {
    Step step = Step::kFail;
    // The file list alone: its server's address is also marked bad in the
    // host cache, so the next fetch resolves the name afresh.
    bool forgetAddress = false;
};

Reaction ReactionTo(ExchangeRole role, HttpOutcome outcome);

// The outcome class of a final status the session did not take.
HttpOutcome OutcomeOfStatus(int status);

// Whether what happened may pass by itself, so that a later try may
// succeed: the network (no address, unreachable, refused, cut, too slow),
// a proxy that could not get through, or a server that is down or busy
// (5xx). Not an answer that would come again (4xx, a malformed head, a
// body that is not the file) nor this machine's own failure.
bool IsPassing(HttpOutcome outcome);

// Attempts per address and the redirect cap of a role. The file list and
// the update fail at their first failure, so their attempts only bound
// their redirects.
ExchangeLimits LimitsFor(ExchangeRole role);

std::string_view RoleName(ExchangeRole role);
std::string_view OutcomeName(HttpOutcome outcome);
