#include "transfers/connection_recipe.h"

#include "transport/garbage_collector.h"
#include "transport/cp_mutex.h"
#include "transport/cp_qos.h"
#include "transport/net_interfaces.h"

bool OpenHttpConnection(vzSmartPtr& holder, const HttpConnectionSettings& settings,
                        nwIHttpClientExEventListener* listener, const std::string& url, const HttpHeaders& headers) {
    if (!holder.CreateInstance(kClassQoSContext)) return false;
    cpCQoS* qos = cpQoS();
    cpLockGuard guard(qos ? qos->Lock() : nullptr);
    auto* context = holder.As<vzIQoSContext>();
    if (vzFailed(context->Open(settings.actionType, kFlagReportConnectFailure | kFlagReportIdle, nullptr))) {
        holder.Reset();
        return false;
    }
    context->SetOption(kOptionConnectTimeout, &settings.connectTimeoutSeconds);
    context->SetOption(kOptionIdleTimeout, &settings.idleTimeoutSeconds);
    if (vzFailed(context->AddLayer(kClassHttpClientExLayer, false))) {
        context->Close();
        holder.Reset();
        return false;
    }
    if (settings.pacedActionType != 0) {
        context->SetActionType(settings.pacedActionType);
        context->SetRate(0, &settings.receiveRate);
        const ReceiveBudgetCarry* carry = settings.carry;
        if (carry && carry->held && qos && qos->SecondTicks() == carry->second)
            context->LimitReceiveBudget(carry->left);
    }
    vzIHttpClientExLayer* layer = HttpLayerOf(holder);
    layer->SetListener(listener, 0);
    if (vzFailed(layer->Open(url.c_str()))) {
        // Nothing was sent: end the attempt the way every failed attempt
        // ends, with OnClosed from the message loop.
        context->PostClose();
        return true;
    }
    for (const auto& [name, value] : headers) layer->SetHeader(name.c_str(), value.c_str());
    layer->Get();
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
    if (vzIHttpClientExLayer* layer = HttpLayerOf(holder)) layer->SetListener(nullptr, 0);
    holder.As<vzIQoSContext>()->Close();
    vzCGarbageCollector::Instance()->DeferRelease(holder);
    holder.Reset();
}
