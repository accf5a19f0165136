#include "transfers/connection_recipe.h"

#include <atomic>

#include "platform/sockets.h"
#include "transport/cp_mutex.h"
#include "transport/cp_qos.h"
#include "transport/garbage_collector.h"
#include "transport/net_interfaces.h"

namespace {

std::atomic<std::uint32_t> g_lowSpeedBytes{LowSpeedLimit{}.bytes};
std::atomic<std::uint32_t> g_lowSpeedSeconds{LowSpeedLimit{}.seconds};

std::string CreationFailureText() {
    if (plat::WSAGetLastError() == plat::kWsaEmfile)
        return "the system is out of file descriptors (too many open files)";
    return "no connection could be created (all connection slots are in use)";
}

}  // namespace

LowSpeedLimit DefaultLowSpeedLimit() { return {g_lowSpeedBytes.load(), g_lowSpeedSeconds.load()}; }

void SetLowSpeedLimitForTesting(LowSpeedLimit limit) {
    g_lowSpeedBytes = limit.bytes;
    g_lowSpeedSeconds = limit.seconds;
}

bool OpenConnection(vzSmartPtr& holder, const ConnectionSettings& settings, std::uint32_t topLayer,
                    std::string* whyNot) {
    if (!holder.CreateInstance(kClassQoSContext)) {
        if (whyNot) *whyNot = "no connection object could be created";
        return false;
    }
    cpCQoS* qos = cpQoS();
    cpLockGuard guard(qos ? qos->Lock() : nullptr);
    auto* context = holder.As<vzIQoSContext>();
    if (vzFailed(context->Open(settings.actionType, kFlagReportConnectFailure | kFlagReportIdle,
                               nullptr))) {
        if (whyNot) *whyNot = CreationFailureText();
        holder.Reset();
        return false;
    }
    // All four are options the context knows.
    (void)context->SetOption(kOptionConnectTimeout, &settings.connectTimeoutSeconds);
    (void)context->SetOption(kOptionIdleTimeout, &settings.idleTimeoutSeconds);
    (void)context->SetOption(kOptionLowSpeedSeconds, &settings.lowSpeed.seconds);
    (void)context->SetOption(kOptionLowSpeedBytes, &settings.lowSpeed.bytes);
    if (vzFailed(context->AddLayer(topLayer, false))) {
        if (whyNot) *whyNot = "the connection's protocol layer could not be created";
        (void)context->Close();  // a close always completes
        holder.Reset();
        return false;
    }
    return true;
}

bool OpenHttpConnection(vzSmartPtr& holder, const HttpConnectionSettings& settings,
                        nwIHttpClientExEventListener* listener, const std::string& url,
                        const HttpHeaders& headers, std::string* whyNot) {
    cpCQoS* qos = cpQoS();
    cpLockGuard guard(qos ? qos->Lock() : nullptr);
    if (!OpenConnection(holder, settings, kClassHttpClientExLayer, whyNot)) return false;
    auto* context = holder.As<vzIQoSContext>();
    if (settings.pacedActionType != 0) {
        // An unknown type leaves the connection unpaced; only paced actions
        // have a rate and a budget.
        (void)context->SetActionType(settings.pacedActionType);
        (void)context->SetRate(0, &settings.receiveRate);
        const ReceiveBudgetCarry* carry = settings.carry;
        if (carry && carry->held && qos && qos->SecondTicks() == carry->second)
            (void)context->LimitReceiveBudget(carry->left);
    }
    vzIHttpClientExLayer* layer = HttpLayerOf(holder);
    (void)layer->SetListener(listener, 0);  // storing the listener cannot fail
    if (vzFailed(layer->Open(url.c_str()))) {
        // Nothing was sent: end the attempt the way every failed attempt
        // ends, with OnClosed from the message loop.
        (void)context->PostClose();  // the close runs later; nothing to check now
        return true;
    }
    // An empty header value is simply not sent, as the request builder does.
    for (const auto& [name, value] : headers) (void)layer->SetHeader(name.c_str(), value.c_str());
    if (vzFailed(layer->Get())) (void)context->PostClose();  // ends the attempt through OnClosed
    return true;
}

vzIHttpClientExLayer* HttpLayerOf(const vzSmartPtr& holder) {
    if (!holder) return nullptr;
    return static_cast<vzIHttpClientExLayer*>(holder.As<vzIQoSContext>()->GetTopLayer());
}

void DropConnection(vzSmartPtr& holder, bool close) {
    if (!holder) return;
    // Taken out first: the close may call back (closed event) before this
    // returns, and must find nothing left to drop.
    vzSmartPtr held = std::move(holder);
    if (close) (void)held.As<vzIQoSContext>()->Close();  // a close always completes
    vzCGarbageCollector::Instance()->DeferRelease(std::move(held));
}

void DropHttpConnection(vzSmartPtr& holder) {
    if (!holder) return;
    if (vzIHttpClientExLayer* layer = HttpLayerOf(holder))
        (void)layer->SetListener(nullptr, 0);  // storing the listener cannot fail
    DropConnection(holder);
}

void DropHttpConnection(vzSmartPtr& holder, ReceiveBudgetCarry& carry) {
    if (!holder) return;
    cpCQoS* qos = cpQoS();
    std::uint32_t left = 0;
    carry.held = qos && !vzFailed(holder.As<vzIQoSContext>()->GetReceiveBudgetLeft(&left));
    if (carry.held) {
        carry.second = qos->SecondTicks();
        carry.left = left;
    }
    DropHttpConnection(holder);
}
