#include "transfers/platform_reporter.h"

#include <utility>

#include "service/base/service_log.h"
#include "transfers/connection_recipe.h"
#include "transfers/pending_reports.h"
#include "transport/host_cache.h"
#include "transport/net_interfaces.h"

namespace {

constexpr int kActionUnpaced = 1;

}  // namespace

CPlatformReporter::CPlatformReporter()
    : CPlatformReporter(ReportServerEndpoint(), PendingReportsPath()) {}

CPlatformReporter::CPlatformReporter(ReportServerAddress endpoint, std::string pendingPath)
    : endpoint_(std::move(endpoint)), pendingPath_(std::move(pendingPath)) {
    if (pendingPath_.empty()) return;
    std::vector<ResultRecord> kept = TakePendingReports(pendingPath_);
    if (kept.empty()) return;
    WriteServiceLogFormat("[OstrelLib] Sending %zu saved report records", kept.size());
    Report(static_cast<std::int32_t>(kept.size()), kept.data());
}

CPlatformReporter::~CPlatformReporter() {
    DropConnection(true);
    if (pendingPath_.empty() || queue_.empty()) return;
    std::vector<ResultRecord> unsent;
    for (const auto& report : queue_) unsent.insert(unsent.end(), report.begin(), report.end());
    if (!SavePendingReports(pendingPath_, unsent))
        WriteServiceLogFormat("[OstrelLib] Saving %zu unsent report records failed : %s",
                              unsent.size(), pendingPath_.c_str());
}

bool CPlatformReporter::Pending() {
    if (queue_.empty() && awaitingReplies_ == 0) return false;
    if (connection_) return true;
    // A server that just refused (or has no address) is not asked again and
    // again while the service ends: what is queued is kept for next time.
    if (unreachable_) return false;
    return Connect();
}

vzIAgentLayer* CPlatformReporter::Layer() const {
    if (!connection_) return nullptr;
    // The connection holds its top layer through the layer's own interface.
    return static_cast<vzIAgentLayer*>(connection_.As<vzIQoSContext>()->GetTopLayer());
}

void CPlatformReporter::Report(std::int32_t recordCount, const ResultRecord* records) {
    if (recordCount <= 0 || records == nullptr) return;
    queue_.emplace_back(records, records + recordCount);
    queuedRecords_ += static_cast<std::size_t>(recordCount);
    TrimQueue();
    if (Connect()) return;  // its connected event sends the queue
    // Held and up: out at once. Held but still connecting: the connected
    // event sends it. Not held (no address): it waits for a later report.
    if (connected_) Flush();
}

void CPlatformReporter::TrimQueue() {
    while (queuedRecords_ > kMaxQueuedRecords && !queue_.empty()) {
        std::vector<ResultRecord>& oldest = queue_.front();
        const std::size_t excess = queuedRecords_ - kMaxQueuedRecords;
        if (oldest.size() <= excess) {
            queuedRecords_ -= oldest.size();
            queue_.pop_front();
        } else {
            // Only part of the oldest report has to go: its first records.
            oldest.erase(oldest.begin(), oldest.begin() + static_cast<std::ptrdiff_t>(excess));
            queuedRecords_ -= excess;
        }
    }
}

bool CPlatformReporter::Connect() {
    if (connection_) return false;
    std::uint32_t address = 0;
    if (!cpHostCache().Lookup(endpoint_.host, endpoint_.port, &address)) return false;

    ConnectionSettings settings;
    settings.actionType = kActionUnpaced;
    settings.connectTimeoutSeconds = settings.idleTimeoutSeconds = kTimeoutSeconds;
    // Replies are a few bytes: a connection waiting for them is not slow.
    settings.lowSpeed = LowSpeedLimit{0, 0};
    vzSmartPtr connection;
    // Never registered or connected: nothing can call back into it, so it
    // may be given up right here.
    if (!OpenConnection(connection, settings, kClassAgentLayer)) return false;
    auto* context = connection.As<vzIQoSContext>();
    // Host and peer let the connection mark the address good or bad in the
    // host cache, so that a host with several addresses moves on after a
    // failure.
    const cpSocketAddress peer{address, endpoint_.port};
    (void)context->SetHostName(endpoint_.host.c_str());  // the name is cut to what the cache takes
    (void)context->SetPeerAddress(peer);                 // storing the address cannot fail

    // Held before Connect: a loopback connect can complete inside the call
    // and deliver the connected event at once.
    connection_ = std::move(connection);
    connected_ = false;
    awaitingReplies_ = 0;
    (void)Layer()->SetListener(this, 0);  // storing the listener cannot fail
    if (vzFailed(context->Connect(peer))) {
        DropConnection(true);
        return false;
    }
    return true;
}

void CPlatformReporter::Flush() {
    while (connected_ && !queue_.empty()) {
        vzIAgentLayer* layer = Layer();
        if (!layer) return;
        std::vector<ResultRecord>& oldest = queue_.front();
        const vzAgentReport report{static_cast<std::int32_t>(oldest.size()), oldest.data()};
        // A report the layer refuses stays first in line for the next try.
        if (vzFailed(layer->SendReport(report))) return;
        ++awaitingReplies_;
        queuedRecords_ -= oldest.size();
        queue_.pop_front();
    }
}

void CPlatformReporter::OnConnected(std::uint32_t) {
    connected_ = true;
    unreachable_ = false;
    if (connection_)
        (void)connection_.As<vzIQoSContext>()
            ->MarkAddressGood();  // a host unknown to the cache is simply not marked
    Flush();
}

void CPlatformReporter::OnReply(std::uint32_t, std::uint8_t) {
    // The code means nothing to us; that the server answered is what counts.
    if (awaitingReplies_ > 0) --awaitingReplies_;
    // Closing on the first answer while a later report is still on its way
    // could cut that report off; wait for all of them.
    if (queue_.empty() && awaitingReplies_ == 0) DropConnection(true);
}

void CPlatformReporter::OnClosed(std::uint32_t) {
    if (!connected_) unreachable_ = true;
    DropConnection(false);
}

void CPlatformReporter::OnConnectFailed(std::uint32_t) {
    unreachable_ = true;
    DropConnection(true);
}

void CPlatformReporter::OnIdleTimeout(std::uint32_t) {
    DropConnection(true);
}

void CPlatformReporter::DropConnection(bool close) {
    if (!connection_) return;
    connected_ = false;
    awaitingReplies_ = 0;
    if (auto* layer = Layer()) (void)layer->SetListener(nullptr, 0);  // cannot fail
    ::DropConnection(connection_, close);
}
