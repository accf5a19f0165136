// CPlatformReporter: sends the results of finished jobs to the report
// server over the report channel (http/agent_layer.h).
//
// Reports are queued, then sent over one connection: Report starts a
// connection when none is held, and the queue goes out once it is up. The
// connection is closed once the queue is empty and the server has answered
// every report sent on it. A connection that fails, times out idle or is
// closed leaves what is still queued for the next connection, which the
// next Report starts; the reporter never retries on its own.
//
// Reports are handed to the connection only while it is up. Handed over
// while it is still being set up they would sit in the connection's own
// send queue and vanish with it when the server refuses; kept here they
// survive and go out, in order, with the next connection.
//
// The queue is bounded: past kMaxQueuedRecords records the oldest records
// are dropped, so a report server that stays unreachable (no address, or
// refusing) costs bounded memory.
//
// Nothing is lost at the service's end: the job manager gives the reporter
// a few seconds to send what is queued (see Pending), and what is still
// unsent when the reporter is destroyed is kept in the service's data folder
// (transfers/pending_reports.h) and sent by the next reporter, at once.
//
// Every call runs with the service lock held: Report on the caller's
// thread, the listener events on the worker thread. The reporter must
// outlive no network runtime; its destructor closes its connection and hands
// it to the deferred-release collector.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "http/agent_interfaces.h"
#include "service/base/vz_smart_ptr.h"
#include "transfers/report_server_endpoint.h"
#include "transfers/result_record.h"

class CPlatformReporter : public nwIAgentListener {
public:
    static constexpr std::size_t kMaxQueuedRecords = 1000;
    // Connect and idle time-out of the report connection, in seconds.
    static constexpr std::uint32_t kTimeoutSeconds = 5;

    // Sends to ReportServerEndpoint(), read once here; reports kept by an
    // earlier run (at `pendingPath`, "" for none) are queued and sent.
    CPlatformReporter();
    explicit CPlatformReporter(ReportServerAddress endpoint, std::string pendingPath = "");
    ~CPlatformReporter() override;
    CPlatformReporter(const CPlatformReporter&) = delete;
    CPlatformReporter& operator=(const CPlatformReporter&) = delete;

    // Queues a copy of `records` (nothing for a count below 1 or null
    // records), then starts a connection, or sends at once over a held
    // connection that is up. The caller keeps its records.
    void Report(std::int32_t recordCount, const ResultRecord* records);
    // Starts a connection to the report server; true when it did. False when
    // one is already held, the server has no address, or the connection
    // cannot be set up.
    bool Connect();
    // Sends every queued report, oldest first, while the held connection is
    // up; does nothing otherwise.
    void Flush();
    // Whether reports are still on their way: queued, or sent and not yet
    // answered, with a connection that may still carry them. Starts one
    // connection for queued ones when none is held, unless the last attempt
    // failed before connecting (then the answer is false at once).
    bool Pending();

    // nwIAgentListener
    void OnConnected(std::uint32_t value) override;
    void OnReply(std::uint32_t value, std::uint8_t code) override;
    void OnClosed(std::uint32_t value) override;
    void OnConnectFailed(std::uint32_t value) override;
    void OnIdleTimeout(std::uint32_t value) override;

    // For tests and diagnostics.
    const ReportServerAddress& Endpoint() const { return endpoint_; }
    std::size_t QueuedReports() const { return queue_.size(); }
    std::size_t QueuedRecords() const { return queuedRecords_; }
    bool HoldsConnection() const { return static_cast<bool>(connection_); }

private:
    vzIAgentLayer* Layer() const;
    // Drops the oldest records until at most kMaxQueuedRecords are queued.
    void TrimQueue();
    // Gives up the held connection: detaches as listener, closes it when
    // `close` (not when it is already shutting down), and hands it to the
    // deferred-release collector, as we may be inside its own callback.
    void DropConnection(bool close);

    ReportServerAddress endpoint_;
    std::string pendingPath_;
    vzSmartPtr connection_;  // a cpCQoSContext, or empty
    bool connected_ = false;
    // The last connection failed before it was up.
    bool unreachable_ = false;
    // Reports sent on the held connection that the server has not answered.
    std::size_t awaitingReplies_ = 0;
    std::deque<std::vector<ResultRecord>> queue_;  // oldest first
    std::size_t queuedRecords_ = 0;
};
