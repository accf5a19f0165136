// CHttpExchange: one exchange of a session, carried over every attempt,
// address and redirect the policy allows, for the file list, the sum, the
// size probes, the file transfer and the engine update alike.
//
// The exchange owns the cursor over the addresses (transfers/
// http_exchange_cursor.h), the way to each (direct or through the user's
// proxy: transfers/proxy_plan.h), the connection (transfers/
// connection_recipe.h, kept connections included) and the check of every
// answer (transfers/http_response_check.h). It classifies what happened to
// each request (transfers/http_outcome.h) and reacts as the table says for
// its role: another request, the next address, or failure. The session
// behind it is a sink: it adds its headers to each request, looks at a
// usable head, takes the body, and hears once how the exchange ended.
//
// A usable head is a 2xx whose body the role can take (no content coding,
// the length announced where the role needs it), or a 416 when the plan
// says the session reads those itself. Redirects are followed inside the
// exchange. A head whose body is empty is followed by OnEnd at once.
//
// Ownership: the session owns its exchange and outlives it; the sink is the
// session. Every sink call may end or restart the exchange (Finish, Start)
// or destroy the session with it: the exchange touches nothing of itself
// after a sink call unless it is still alive and on the same exchange.
//
// Thread: the service worker (HTTP events) or a caller holding the service
// lock (Start), always with the service lock held.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "http/http_client_interfaces.h"
#include "http/http_response_head.h"
#include "service/base/vz_smart_ptr.h"
#include "transfers/connection_recipe.h"
#include "transfers/http_exchange_cursor.h"
#include "transfers/http_outcome.h"
#include "transfers/http_response_check.h"

struct ExchangePlan {
    ExchangeRole role = ExchangeRole::kFile;
    HttpConnectionSettings settings;
    BodyNeed need = BodyNeed::kLength;
    // Every address, redirect targets included, must be https.
    bool httpsOnly = false;
    // A 416 goes to the sink (a file transfer or probe reads its
    // Content-Range); otherwise it is a client error.
    bool takeRangeNotSatisfiable = false;
    // Where a paced connection leaves its second's budget when it is given
    // up, for the next connection (settings.carry reads it); null: nowhere.
    ReceiveBudgetCarry* carry = nullptr;
};

// A head the sink is shown.
struct ExchangeHead {
    vzIHttpClientExLayer* layer = nullptr;
    int status = 0;
    std::int64_t contentLength = 0;  // 0 when none is announced
    HttpBodyFraming framing = HttpBodyFraming::kUntilClose;
    bool hasBody() const {
        return framing != HttpBodyFraming::kNone;
    }
};

// The sink's answer to a head.
struct HeadVerdict {
    enum Kind {
        kTake,    // the body follows (OnBody, then OnEnd)
        kEnough,  // the head was all the sink wanted: the exchange ends, OnEnd follows
        kReject,  // the answer is not usable: `outcome` and `reason` go to the table
    };
    Kind kind = kTake;
    HttpOutcome outcome = HttpOutcome::kOtherStatus;
    std::string reason;

    static HeadVerdict Take() { return {}; }
    static HeadVerdict Enough() { return {kEnough, HttpOutcome::kOtherStatus, {}}; }
    static HeadVerdict Reject(HttpOutcome outcome, std::string reason) {
        return {kReject, outcome, std::move(reason)};
    }
};

// How an exchange failed.
struct ExchangeFailure {
    HttpOutcome outcome = HttpOutcome::kClosedEarly;
    std::string url;     // where the last request went
    std::string reason;  // in words, for the log and the player
};

class IHttpExchangeSink {
public:
    // Just before a request leaves: the sink adds its headers (a Range).
    // False when it cannot make the request (it could not open its file):
    // nothing is sent, and the sink reports its own failure.
    virtual bool OnRequest(HttpHeaders* headers) = 0;
    // The request has left (a file transfer opens its next file meanwhile).
    virtual void OnSent() {}
    // The connection is up (the update counts its connections).
    virtual void OnConnected() {}
    virtual HeadVerdict OnHead(const ExchangeHead& head) = 0;
    // Body bytes; answers how many it took (all of them, normally).
    virtual std::int32_t OnBody(const void* data, std::int32_t length) = 0;
    // The whole body is in (or the head was enough). The connection is
    // given up already: kept for the next exchange where it can be.
    virtual void OnEnd() = 0;
    virtual void OnFailed(const ExchangeFailure& failure) = 0;

protected:
    ~IHttpExchangeSink() = default;
};

class CHttpExchange final : public nwIHttpClientExEventListener {
public:
    CHttpExchange(IHttpExchangeSink* sink, ExchangePlan plan);
    ~CHttpExchange();
    CHttpExchange(const CHttpExchange&) = delete;
    CHttpExchange& operator=(const CHttpExchange&) = delete;

    // Starts a new exchange over the URL field's addresses ("|" between
    // mirrors): the first request leaves now, or the sink hears OnFailed.
    // A running exchange is given up first, without a report.
    void Start(const std::string& urlField);
    // Starts again over the same field, from its first address.
    void Restart() { Start(field_); }
    // Ends the exchange without a report; the connection is kept for
    // another exchange where it can be.
    void Finish();
    // The sink found the answer unusable (a part it did not ask for, a body
    // it cannot hold), also once it has ended (a part that stopped short of
    // the file's end): the table decides, as for any other failure.
    void Reject(HttpOutcome outcome, std::string reason);
    // For a session that stops for a reason of its own (a write that
    // failed): the exchange ends, its server's address is marked bad when
    // `forgetAddress`, and nothing is reported.
    void Abandon(bool forgetAddress = false);

    bool Running() const { return running_; }
    bool Connected() const { return static_cast<bool>(connection_); }
    const CHttpExchangeCursor& Cursor() const { return cursor_; }
    const std::string& Field() const { return field_; }
    // Where the current (or last) request went.
    const std::string& Url() const { return cursor_.Url(); }
    // The address a redirect sent the exchange to ("" when none did).
    std::string RedirectTarget() const;
    ExchangePlan& Plan() { return plan_; }

    // nwIHttpClientExEventListener
    void OnConnected(std::uint32_t value) override;
    void OnHeaderReceived(std::uint32_t value) override;
    std::int32_t OnBodyData(std::uint32_t value, const void* data, std::int32_t length) override;
    void OnComplete(std::uint32_t value) override;
    void OnSendReady(std::uint32_t value) override;
    void OnClosed(std::uint32_t value) override;
    void OnConnectFailed(std::uint32_t value) override;
    void OnIdleTimeout(std::uint32_t value) override;
    void OnHostUnreachable(std::uint32_t value) override;

private:
    // Takes attempts until a request leaves or the exchange has failed.
    void Request();
    // One request to the cursor's URL. False, with the outcome and reason,
    // when it could not leave; true when it left, or when the sink declined
    // it or the exchange ended meanwhile (*stop set).
    bool Send(HttpOutcome* outcome, std::string* reason, bool* stop);
    // Applies the table to what happened to the current request, the
    // connection given up: another request, or the failure.
    void React(HttpOutcome outcome, std::string reason);
    // Notes the failure and decides: true for another request.
    [[nodiscard]] bool Continue(HttpOutcome outcome, std::string reason);
    // The exchange has failed: the sink hears it (last).
    void Failed();
    // The body is whole, or the head was enough: the sink hears it (last).
    void Complete();
    // Gives up the connection, parked for reuse where it can be.
    void DropConnection();
    // What a closed connection means: a refused head, a refused tunnel, a
    // URL that could not be opened, or a plain close.
    void OnConnectionClosed();
    // "the proxy P" or "host:port", for reasons.
    std::string Peer() const;
    // Whether the sink (or its owner) ended or restarted this exchange, or
    // destroyed it, during a call that began at `generation`.
    bool Superseded(const std::shared_ptr<bool>& alive, std::uint64_t generation) const {
        return !*alive || generation != generation_;
    }

    IHttpExchangeSink* sink_;
    ExchangePlan plan_;
    CHttpExchangeCursor cursor_;
    std::string field_;
    vzSmartPtr connection_;
    std::string proxyLabel_;   // of the current request, "" when direct
    std::int64_t rangeFrom_ = -1;  // the current request's Range start, -1 without one
    std::string openFailure_;  // why the current URL could not be opened
    HttpOutcome lastOutcome_ = HttpOutcome::kClosedEarly;
    bool running_ = false;
    bool headTaken_ = false;
    std::uint64_t generation_ = 0;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};
