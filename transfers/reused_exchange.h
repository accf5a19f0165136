// CReusedExchange: stands between a session and the HTTP layer while the
// session's request runs on a connection taken from the idle pool.
//
// A server may close an idle connection just as our request goes out on it
// (its keep-alive time ran out, it restarted). That exchange did not fail;
// the connection was stale. So when such a connection closes or stalls
// before the response head has come, the request is sent once more, on a new
// connection, and the session never hears of it: no attempt of its own is
// taken. Everything else passes straight through, and the session hears
// OnConnected just before the first event of the response, as it would from
// a new connection.
//
// Made and owned by the connection recipe (connection_recipe.cpp), one per
// holder, and destroyed when the holder's connection is dropped, which may
// happen inside any event it passes on: after handing an event on it
// touches nothing of itself. Service lock held, worker thread.
#pragma once

#include <cstdint>
#include <string>

#include "http/http_client_interfaces.h"
#include "transfers/connection_recipe.h"

class CReusedExchange final : public nwIHttpClientExEventListener {
public:
    CReusedExchange(vzSmartPtr* holder, nwIHttpClientExEventListener* session,
                    const HttpConnectionSettings& settings, HttpRoute route, HttpHeaders headers);

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
    // Tells the session it is connected, once; false when the session let
    // the connection go meanwhile (this object is then gone).
    bool TellConnected(std::uint32_t value);
    // The stale connection is given up and the request sent on a new one;
    // this object is gone afterwards. When no new connection can be made,
    // the session hears `closed` (OnClosed) as the end of its attempt.
    void SendAgain(std::uint32_t value);

    vzSmartPtr* holder_;
    nwIHttpClientExEventListener* session_;
    HttpConnectionSettings settings_;
    HttpRoute route_;
    HttpHeaders headers_;
    bool connectedTold_ = false;
    bool answered_ = false;
};

// Kept by the connection recipe, for the guard.
// Whether `guard` still stands for the holder's exchange.
bool IsGuarding(const vzSmartPtr* holder, const CReusedExchange* guard);
// Gives up the holder's connection (its guard goes with it) and sends the
// request on a new connection, not one from the pool. False, with the
// holder empty, when no connection could be made.
bool SendOnNewConnection(vzSmartPtr* holder, nwIHttpClientExEventListener* session,
                         const HttpConnectionSettings& settings, const HttpRoute& route,
                         const HttpHeaders& headers);
