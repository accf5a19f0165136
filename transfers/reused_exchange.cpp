#include "transfers/reused_exchange.h"

#include <utility>

#include "service/base/service_log.h"

CReusedExchange::CReusedExchange(vzSmartPtr* holder, nwIHttpClientExEventListener* session,
                                 const HttpConnectionSettings& settings, HttpRoute route,
                                 HttpHeaders headers)
    : holder_(holder),
      session_(session),
      settings_(settings),
      route_(std::move(route)),
      headers_(std::move(headers)) {}

bool CReusedExchange::TellConnected(std::uint32_t value) {
    if (connectedTold_) return true;
    connectedTold_ = true;
    vzSmartPtr* holder = holder_;
    session_->OnConnected(value);
    return IsGuarding(holder, this);
}

void CReusedExchange::SendAgain(std::uint32_t value) {
    // Everything needed is copied out first: this object goes with the
    // stale connection.
    vzSmartPtr* holder = holder_;
    nwIHttpClientExEventListener* session = session_;
    const HttpConnectionSettings settings = settings_;
    const HttpRoute route = route_;
    const HttpHeaders headers = headers_;
    WriteServiceLogFormat("[OstrelLib] Kept connection went stale, sending again : %s",
                          route.poolKey.c_str());
    if (!SendOnNewConnection(holder, session, settings, route, headers)) session->OnClosed(value);
}

void CReusedExchange::OnConnected(std::uint32_t) {}

void CReusedExchange::OnHeaderReceived(std::uint32_t value) {
    answered_ = true;
    if (!TellConnected(value)) return;
    session_->OnHeaderReceived(value);
}

std::int32_t CReusedExchange::OnBodyData(std::uint32_t value, const void* data,
                                         std::int32_t length) {
    return session_->OnBodyData(value, data, length);
}

void CReusedExchange::OnComplete(std::uint32_t value) { session_->OnComplete(value); }

void CReusedExchange::OnSendReady(std::uint32_t value) { session_->OnSendReady(value); }

void CReusedExchange::OnClosed(std::uint32_t value) {
    if (!answered_) {
        SendAgain(value);
        return;
    }
    session_->OnClosed(value);
}

void CReusedExchange::OnIdleTimeout(std::uint32_t value) {
    if (!answered_) {
        SendAgain(value);
        return;
    }
    session_->OnIdleTimeout(value);
}

// Neither comes on a connection that is up already; passed on all the same.
void CReusedExchange::OnConnectFailed(std::uint32_t value) { session_->OnConnectFailed(value); }

void CReusedExchange::OnHostUnreachable(std::uint32_t value) { session_->OnHostUnreachable(value); }
