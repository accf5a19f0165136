#include "transfers/connection_recipe.h"

#include "transport/cp_mutex.h"
#include "transport/cp_qos.h"
#include "transport/garbage_collector.h"
#include "transport/net_interfaces.h"

bool OpenHttpConnection(vzSmartPtr& holder, const HttpConnectionSettings& settings,
                        nwIHttpClientExEventListener* listener, const std::string& url,
                        const HttpHeaders& headers) {
    if (!holder.CreateInstance(kClassQoSContext)) return false;
    cpCQoS* qos = cpQoS();
    cpLockGuard guard(qos ? qos->Lock() : nullptr);
    auto* context = holder.As<vzIQoSContext>();
    if (vzFailed(context->Open(settings.actionType, kFlagReportConnectFailure | kFlagReportIdle,
                               nullptr))) {
        holder.Reset();
        return false;
    }
    (void)context->SetOption(kOptionConnectTimeout,
                             &settings.connectTimeoutSeconds);  // both options are known ones
    (void)context->SetOption(kOptionIdleTimeout,
                             &settings.idleTimeoutSeconds);  // both options are known ones
    if (vzFailed(context->AddLayer(kClassHttpClientExLayer, false))) {
        (void)context->Close();  // a close always completes
        holder.Reset();
        return false;
    }
    if (settings.pacedActionType != 0) {
        (void)context->SetActionType(
            settings.pacedActionType);  // an unknown type leaves the connection unpaced
        (void)context->SetRate(0, &settings.receiveRate);  // only paced actions have a rate
        const ReceiveBudgetCarry* carry = settings.carry;
        if (carry && carry->held && qos && qos->SecondTicks() == carry->second)
            (void)context->LimitReceiveBudget(carry->left);  // only paced actions have a budget
    }
    vzIHttpClientExLayer* layer = HttpLayerOf(holder);
    (void)layer->SetListener(listener, 0);  // storing the listener cannot fail
    if (vzFailed(layer->Open(url.c_str()))) {
        // Nothing was sent: end the attempt the way every failed attempt
        // ends, with OnClosed from the message loop.
        (void)context
            ->PostClose();  // the close runs later from the message loop; nothing to check now
        return true;
    }
    // An empty header value is simply not sent, as the request builder does.
    for (const auto& [name, value] : headers) (void)layer->SetHeader(name.c_str(), value.c_str());
    if (vzFailed(layer->Get())) (void)context->PostClose();  // ends the attempt through OnClosed
    return true;
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

vzIHttpClientExLayer* HttpLayerOf(const vzSmartPtr& holder) {
    if (!holder) return nullptr;
    return static_cast<vzIHttpClientExLayer*>(holder.As<vzIQoSContext>()->GetTopLayer());
}

void DropHttpConnection(vzSmartPtr& holder) {
    if (!holder) return;
    if (vzIHttpClientExLayer* layer = HttpLayerOf(holder))
        (void)layer->SetListener(nullptr, 0);   // storing the listener cannot fail
    (void)holder.As<vzIQoSContext>()->Close();  // a close always completes
    vzCGarbageCollector::Instance()->DeferRelease(holder);
    holder.Reset();
}
