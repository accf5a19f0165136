#include "transfers/connection_recipe.h"

#include <atomic>
#include <map>
#include <memory>

#include "platform/sockets.h"
#include "transfers/reused_exchange.h"
#include "transport/cp_mutex.h"
#include "transport/cp_qos.h"
#include "transport/garbage_collector.h"
#include "transport/idle_connection_pool.h"
#include "transport/net_interfaces.h"

namespace {

std::atomic<std::uint32_t> g_lowSpeedBytes{LowSpeedLimit{}.bytes};
std::atomic<std::uint32_t> g_lowSpeedSeconds{LowSpeedLimit{}.seconds};
std::atomic<bool> g_reuse{true};

// The guards of exchanges on reused connections, by holder (service lock).
std::map<const vzSmartPtr*, std::unique_ptr<CReusedExchange>>& Guards() {
    static auto* guards = new std::map<const vzSmartPtr*, std::unique_ptr<CReusedExchange>>();
    return *guards;
}

// Destroys the holder's guard, if it has one; the layer must no longer
// name it as its listener.
void ForgetGuard(const vzSmartPtr& holder) { Guards().erase(&holder); }

std::string CreationFailureText() {
    if (plat::WSAGetLastError() == plat::kWsaEmfile)
        return "the system is out of file descriptors (too many open files)";
    return "no connection could be created (all connection slots are in use)";
}

void ApplyWatches(vzIQoSContext* context, const ConnectionSettings& settings) {
    // All four are options the context knows.
    (void)context->SetOption(kOptionConnectTimeout, &settings.connectTimeoutSeconds);
    (void)context->SetOption(kOptionIdleTimeout, &settings.idleTimeoutSeconds);
    (void)context->SetOption(kOptionLowSpeedSeconds, &settings.lowSpeed.seconds);
    (void)context->SetOption(kOptionLowSpeedBytes, &settings.lowSpeed.bytes);
}

void ApplyPacing(vzIQoSContext* context, const HttpConnectionSettings& settings) {
    if (settings.pacedActionType == 0) return;
    // An unknown type leaves the connection unpaced; only paced actions
    // have a rate and a budget.
    (void)context->SetActionType(settings.pacedActionType);
    (void)context->SetRate(0, &settings.receiveRate);
    cpCQoS* qos = cpQoS();
    const ReceiveBudgetCarry* carry = settings.carry;
    if (carry && carry->held && qos && qos->SecondTicks() == carry->second)
        (void)context->LimitReceiveBudget(carry->left);
}

// Headers, then the GET; a request that cannot go out ends the attempt
// through OnClosed.
void SendGet(vzIQoSContext* context, vzIHttpClientExLayer* layer,
             const HttpConnectionSettings& settings, const HttpHeaders& headers) {
    if (settings.acceptChunked) (void)layer->AcceptChunkedBody();  // a plain switch
    // An empty header value is simply not sent, as the request builder does.
    for (const auto& [name, value] : headers) (void)layer->SetHeader(name.c_str(), value.c_str());
    if (vzFailed(layer->Get())) (void)context->PostClose();  // the close runs later
}

cpCIdleConnectionPool* IdlePool() {
    cpCQoS* qos = cpQoS();
    return qos ? &qos->IdlePool() : nullptr;
}

// Whether a parked connection can carry the next exchange now, later (its
// drained body is still coming: only clean and draining ones are parked,
// and a drain that goes wrong closes the connection) or never.
cpCIdleConnectionPool::Fitness FitForNextExchange(vzIQoSContext* context) {
    using Fitness = cpCIdleConnectionPool::Fitness;
    auto* layer = static_cast<vzIHttpClientExLayer*>(context->GetTopLayer());
    bool complete = false;
    bool reusable = false;
    std::uint32_t queued = 0;
    if (!layer || vzFailed(layer->GetResponseComplete(&complete, &reusable))) return Fitness::kNever;
    if (!complete) return Fitness::kLater;
    return reusable && vzSucceeded(context->GetQueuedBytes(&queued)) && queued == 0
               ? Fitness::kReady
               : Fitness::kNever;
}

bool OpenNewHttpConnection(vzSmartPtr& holder, const HttpConnectionSettings& settings,
                           nwIHttpClientExEventListener* listener, const HttpRoute& route,
                           const HttpHeaders& headers, std::string* whyNot,
                           std::string* openFailure) {
    if (!OpenConnection(holder, settings, kClassHttpClientExLayer, whyNot)) return false;
    auto* context = holder.As<vzIQoSContext>();
    ApplyPacing(context, settings);
    vzIHttpClientExLayer* layer = HttpLayerOf(holder);
    (void)layer->SetListener(listener, 0);  // storing the listener cannot fail
    if (vzFailed(layer->OpenRoute(route))) {
        // Nothing was sent: end the attempt the way every failed attempt
        // ends, with OnClosed from the message loop.
        if (openFailure) *openFailure = "no address for " + route.connectHost;
        (void)context->PostClose();  // the close runs later; nothing to check now
        return true;
    }
    SendGet(context, layer, settings, headers);
    return true;
}

// Takes a parked connection to the URL's origin and sends the GET on it;
// false when there is none to take.
bool ReuseHttpConnection(vzSmartPtr& holder, const HttpConnectionSettings& settings,
                         nwIHttpClientExEventListener* listener, const HttpRoute& route,
                         const HttpHeaders& headers) {
    cpCIdleConnectionPool* pool = IdlePool();
    if (!pool || !g_reuse.load() || route.poolKey.empty()) return false;
    for (;;) {
        vzSmartPtr taken = pool->Take(route.poolKey, &FitForNextExchange);
        if (!taken) return false;
        auto* context = taken.As<vzIQoSContext>();
        auto* layer = static_cast<vzIHttpClientExLayer*>(context->GetTopLayer());
        if (!layer || vzFailed(layer->ReuseRoute(route))) {
            DropConnection(taken);
            continue;
        }
        // As for a new connection: the same flags, watches and time-outs,
        // the action made afresh (so no budget of the last exchange is
        // left) and then paced as the session asks.
        (void)context->SetFlags(kFlagReportConnectFailure | kFlagReportIdle);  // plain bits
        ApplyWatches(context, settings);
        (void)context->RestartWatches();  // plain counters
        (void)context->SetActionType(settings.actionType);  // an unknown type stays unpaced
        ApplyPacing(context, settings);
        holder = std::move(taken);
        auto guard = std::make_unique<CReusedExchange>(&holder, listener, settings, route, headers);
        (void)layer->SetListener(guard.get(), 0);  // storing the listener cannot fail
        Guards()[&holder] = std::move(guard);
        SendGet(context, layer, settings, headers);
        return true;
    }
}

// Parks the held connection when it can carry another exchange, now or once
// its drained body is in. The listener is detached already.
bool ParkForReuse(vzSmartPtr& holder) {
    cpCQoS* qos = cpQoS();
    vzIHttpClientExLayer* layer = HttpLayerOf(holder);
    if (!qos || !layer || !g_reuse.load()) return false;
    auto* context = holder.As<vzIQoSContext>();
    std::string origin;
    bool complete = false;
    bool reusable = false;
    if (vzFailed(layer->GetOrigin(&origin)) ||
        vzFailed(layer->GetResponseComplete(&complete, &reusable)))
        return false;
    if (!reusable && (complete || vzFailed(layer->DrainForReuse(kDrainLimit)))) return false;
    std::uint32_t queued = 0;
    if (vzFailed(context->GetQueuedBytes(&queued)) || queued != 0) return false;
    // While it waits it is nobody's: unpaced (a paced action may have
    // held its socket's notifications back, and a close by the server must
    // be heard) and without a request of its own.
    (void)context->SetActionType(1);   // type 1 always exists
    (void)context->ResumeEvents();     // without a socket the pool lets it go
    qos->IdlePool().Park(origin, std::move(holder), qos->SecondTicks());
    return true;
}

}  // namespace

LowSpeedLimit DefaultLowSpeedLimit() { return {g_lowSpeedBytes.load(), g_lowSpeedSeconds.load()}; }

void SetLowSpeedLimitForTesting(LowSpeedLimit limit) {
    g_lowSpeedBytes = limit.bytes;
    g_lowSpeedSeconds = limit.seconds;
}

void SetConnectionReuseForTesting(bool on) { g_reuse = on; }

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
    ApplyWatches(context, settings);
    if (vzFailed(context->AddLayer(topLayer, false))) {
        if (whyNot) *whyNot = "the connection's protocol layer could not be created";
        (void)context->Close();  // a close always completes
        holder.Reset();
        return false;
    }
    return true;
}

bool OpenHttpConnection(vzSmartPtr& holder, const HttpConnectionSettings& settings,
                        nwIHttpClientExEventListener* listener, const HttpRoute& route,
                        const HttpHeaders& headers, std::string* whyNot,
                        std::string* openFailure) {
    cpCQoS* qos = cpQoS();
    cpLockGuard guard(qos ? qos->Lock() : nullptr);
    if (ReuseHttpConnection(holder, settings, listener, route, headers)) return true;
    return OpenNewHttpConnection(holder, settings, listener, route, headers, whyNot, openFailure);
}

bool OpenHttpConnection(vzSmartPtr& holder, const HttpConnectionSettings& settings,
                        nwIHttpClientExEventListener* listener, const std::string& url,
                        const HttpHeaders& headers, std::string* whyNot) {
    HttpRoute route;
    // A URL without a route still ends through OnClosed, as an unopenable one.
    if (!DirectRoute(url, &route)) route = HttpRoute{};
    return OpenHttpConnection(holder, settings, listener, route, headers, whyNot);
}

bool IsGuarding(const vzSmartPtr* holder, const CReusedExchange* guard) {
    auto found = Guards().find(holder);
    return found != Guards().end() && found->second.get() == guard;
}

bool SendOnNewConnection(vzSmartPtr* holder, nwIHttpClientExEventListener* session,
                         const HttpConnectionSettings& settings, const HttpRoute& route,
                         const HttpHeaders& headers) {
    if (vzIHttpClientExLayer* layer = HttpLayerOf(*holder))
        (void)layer->SetListener(nullptr, 0);  // storing the listener cannot fail
    ForgetGuard(*holder);
    DropConnection(*holder);
    return OpenNewHttpConnection(*holder, settings, session, route, headers, nullptr, nullptr);
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
    cpCQoS* qos = cpQoS();
    cpLockGuard guard(qos ? qos->Lock() : nullptr);
    if (vzIHttpClientExLayer* layer = HttpLayerOf(holder))
        (void)layer->SetListener(nullptr, 0);  // storing the listener cannot fail
    ForgetGuard(holder);
    if (ParkForReuse(holder)) return;
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
