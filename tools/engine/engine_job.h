// One described job on one connection: accepts it (4), optionally asks
// whether earlier data may be used (16/18), fetches its files one after the
// other through the transfer back end, reports progress once a second (5),
// each finished file (7) and the end (6), or asks the launcher to take the
// job over (6 with fallback) when it cannot serve it.
//
// Owned by its connection; runs on the loop thread. The fault switches
// bend this behaviour for tests.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "engine_config.h"
#include "job_paths.h"
#include "message_sink.h"
#include "messages.h"
#include "transfer_backend.h"
#include "transfer_policy.h"

namespace engine {

class EngineLog;

// Receive caps per job mode: 2 means the player agreed to full speed.
inline constexpr std::int64_t kConsentedBytesPerSecond = transfer_policy::kFastBytesPerSecond;
inline constexpr std::int64_t kDefaultBytesPerSecond = transfer_policy::kNormalBytesPerSecond;
inline constexpr std::uint8_t kModeConsented = 2;

struct JobContext {
    IMessageSink* sink = nullptr;
    ITransferBackend* backend = nullptr;
    const FaultSwitches* faults = nullptr;
    EngineLog* log = nullptr;
    // Told of every body byte that arrives (the die-after switch).
    std::function<void(std::uint64_t)> onBodyBytes;
};

class EngineJob final : public ITransferListener {
public:
    EngineJob(const JobContext& context, std::uint32_t engineJob, std::uint8_t mode,
              JobDescription description);
    // Cancels a running transfer; its partial file stays.
    ~EngineJob() override;
    EngineJob(const EngineJob&) = delete;
    EngineJob& operator=(const EngineJob&) = delete;

    // Answers the description. `standingAnswer` is a resume answer given
    // earlier on this connection for all jobs, if any.
    void Begin(std::optional<bool> standingAnswer);
    // The launcher's answer to our resume question.
    void Answer(bool continueEarlier);
    // Stops the job for good without a message (the launcher cancelled it).
    void Cancel();
    // Sends the progress report when one is due.
    void Tick(std::int64_t nowMs);

    JobRef Ref() const { return {description_.head.jobKey, engineJob_}; }
    bool AwaitingAnswer() const { return state_ == State::kAwaitingAnswer; }
    bool Ended() const { return state_ == State::kEnded; }
    // Fetching right now, over the network unless every source is local.
    bool Fetching() const { return state_ == State::kRunning; }
    bool FetchesOnlyLocally() const;

    // ITransferListener
    void OnBytes(TransferId id, std::uint64_t count) override;
    void OnFetched(TransferId id, const FetchOutcome& outcome) override;
    void OnFailed(TransferId id, const std::string& reason) override;
    void OnDiskFull(TransferId id, const std::string& reason) override;

private:
    enum class State { kNew, kAwaitingAnswer, kSizing, kRunning, kPaused, kMute, kEnded };
    // Size probes under way at once while the job learns its unknown sizes.
    static constexpr std::size_t kParallelSizeProbes = transfer_policy::kParallelSizeProbes;

    bool HasPartialData() const;
    void StartRunning(bool continueEarlier);
    // Asks the servers for every size the description left unknown, so that
    // the first progress report already carries the job's total; the
    // transfer begins once every probe has answered.
    void ProbeNextSizes();
    void BeginTransfers();
    void StartNextFile();
    // 6 with fallback: the launcher continues the job itself.
    void GiveUp(const std::string& why);
    void Finish();
    void SendBadFrames();
    // The claim-done switch: every file reported done, nothing written.
    void ClaimDone();
    void SendFileDone(const FilePlace& place, const DescribedFile& file,
                      const FetchOutcome& outcome);
    void SendProgress(std::int64_t nowMs);
    std::uint64_t TotalBytes() const;

    JobContext context_;
    std::uint32_t engineJob_;
    std::int64_t maxBytesPerSecond_;
    bool peersAllowed_;
    JobDescription description_;
    std::vector<FilePlace> places_;
    std::string placeProblem_;                // why a file cannot be placed, if one cannot
    std::vector<std::int64_t> fetchedSizes_;  // per finished file

    State state_ = State::kNew;
    std::size_t current_ = 0;  // index of the file being fetched
    TransferId transfer_ = 0;
    // Size probes under way: their transfer and the file they ask about.
    std::vector<std::pair<TransferId, std::size_t>> sizeProbes_;
    std::size_t nextSizeProbe_ = 0;
    std::uint32_t completed_ = 0;
    std::uint64_t completedBytes_ = 0;
    std::uint64_t freshBytes_ = 0;  // arrived since the job started
    std::uint64_t freshAtLastReport_ = 0;
    std::int64_t startMs_ = 0;
    std::int64_t lastReportMs_ = 0;
    bool networkFaultSent_ = false;
};

}  // namespace engine
