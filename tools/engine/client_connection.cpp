#include "client_connection.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "engine_log.h"

namespace engine {
namespace {

// The launcher reads continuously; this much unread output means it is stuck.
constexpr std::size_t kMaxPendingOutput = 4u * 1024 * 1024;
constexpr std::size_t kMaxJobsPerConnection = 256;

}  // namespace

ClientConnection::ClientConnection(int fd, std::string peer, const ConnectionContext& context)
    : fd_(fd), peer_(std::move(peer)), context_(context) {}

ClientConnection::~ClientConnection() {
    jobs_.clear();  // cancels their transfers first
    close(fd_);
}

void ClientConnection::Drop(const char* why) {
    if (healthy_) context_.log->Line("Closing connection from %s: %s", peer_.c_str(), why);
    healthy_ = false;
}

bool ClientConnection::NeedsNetwork() const {
    for (const auto& [number, job] : jobs_)
        if (job->Fetching() && !job->FetchesOnlyLocally()) return true;
    return false;
}

void ClientConnection::OnReadable() {
    char buffer[64 * 1024];
    const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
    if (n == 0) return Drop("closed by the peer");
    if (n < 0) {
        if (errno != EAGAIN && errno != EINTR) Drop("receive failed");
        return;
    }
    input_.append(buffer, static_cast<std::size_t>(n));
    std::size_t taken = 0;
    while (healthy_) {
        FrameHead head;
        const std::string_view rest = std::string_view(input_).substr(taken);
        const FramePeek peek = PeekFrame(rest, &head);
        if (peek == FramePeek::kNeedMore) break;
        if (peek == FramePeek::kTooLarge) {
            context_.log->Line("Message %u announces %u bytes", head.subtype, head.length);
            return Drop("message too large");
        }
        if (!Handle(head, rest.substr(kFrameHeaderBytes, head.length))) {
            context_.log->Line("Refused message type 0x%04X subtype %u, %u bytes", head.type,
                               head.subtype, head.length);
            return Drop("malformed or out-of-order message");
        }
        taken += kFrameHeaderBytes + head.length;
    }
    input_.erase(0, taken);
}

bool ClientConnection::Handle(const FrameHead& head, std::string_view payload) {
    const std::uint16_t expectedType =
        head.subtype == kJobSubmit ? kJobSubmitMessageType : kEngineMessageType;
    if (head.type != expectedType) return false;
    if (!introduced_ && head.subtype != kServiceKey) return false;
    if (split_) return HandleSplit(head, payload);
    switch (head.subtype) {
        case kServiceKey: {
            std::string key;
            if (!DecodeServiceKey(payload, &key)) return false;
            introduced_ = true;
            context_.log->Line("Service key \"%.64s\" from %s", key.c_str(), peer_.c_str());
            return true;
        }
        case kJobMode:
            if (!DecodeJobMode(payload, &nextMode_)) return false;
            return true;
        case kJobLabel: {
            std::string label;
            return DecodeJobLabel(payload, &label);
        }
        case kJobEngineFlag: {
            std::uint32_t key = 0;
            if (!DecodeJobKey(payload, &key)) return false;
            context_.log->Line("Job %u: engine flag set", key);
            return true;
        }
        case kJobSubmit: {
            JobDescription description;
            if (!DecodeJobSubmit(payload, &description)) return false;
            return HandleDescription(std::move(description));
        }
        case kJobSubmitBegin: {
            JobDescription description;
            if (!DecodeJobSubmitBegin(payload, &description.head)) return false;
            split_ = std::move(description);
            return true;
        }
        case kCancelJob: {
            JobRef ref;
            if (!DecodeCancelJob(payload, &ref)) return false;
            if (EngineJob* job = FindJob(ref)) {
                context_.log->Line("Job %u: cancelled by the launcher", ref.jobKey);
                job->Cancel();
            } else {
                context_.log->Line("Cancel for unknown job %u/%u ignored", ref.jobKey,
                                   ref.engineJob);
            }
            return true;
        }
        case kJobOption: {
            JobOption option;
            if (!DecodeJobOption(payload, &option)) return false;
            context_.log->Line("Job %u: option %u", option.job.jobKey, option.value);
            return true;
        }
        case kResumeAnswer: {
            ResumeAnswer answer;
            if (!DecodeResumeAnswer(payload, &answer)) return false;
            HandleResumeAnswer(answer);
            return true;
        }
        default:
            return false;
    }
}

bool ClientConnection::HandleSplit(const FrameHead& head, std::string_view payload) {
    JobDescription& description = *split_;
    if (head.subtype == kJobSubmitFile) {
        SubmitFile file;
        if (!DecodeJobSubmitFile(payload, &file)) return false;
        if (file.jobKey != description.head.jobKey || file.index != description.files.size() ||
            file.index >= description.head.fileCount)
            return false;
        description.files.push_back(std::move(file.file));
        return true;
    }
    if (head.subtype == kJobSubmitEnd) {
        std::uint32_t key = 0;
        if (!DecodeJobKey(payload, &key) || key != description.head.jobKey ||
            description.files.size() != description.head.fileCount)
            return false;
        JobDescription whole = std::move(description);
        split_.reset();
        return HandleDescription(std::move(whole));
    }
    return false;
}

bool ClientConnection::HandleDescription(JobDescription description) {
    for (const auto& [number, job] : jobs_) {
        if (!job->Ended() && job->Ref().jobKey == description.head.jobKey) {
            context_.log->Line("Job %u described twice", description.head.jobKey);
            return false;
        }
    }
    if (jobs_.size() >= kMaxJobsPerConnection) {
        context_.log->Line("Too many jobs on one connection");
        return false;
    }
    const std::uint32_t number = (*context_.nextEngineJob)++;
    JobContext jobContext{this, context_.backend, context_.faults, context_.log,
                          context_.onBodyBytes};
    auto job = std::make_unique<EngineJob>(jobContext, number, nextMode_, std::move(description));
    // A mode applies to the one description after it.
    nextMode_ = 1;
    EngineJob* raw = job.get();
    jobs_.emplace(number, std::move(job));
    raw->Begin(standingAnswer_);
    return true;
}

void ClientConnection::HandleResumeAnswer(const ResumeAnswer& answer) {
    EngineJob* job = FindJob(answer.job);
    if (!job || !job->AwaitingAnswer()) {
        context_.log->Line("Resume answer for job %u/%u without a question ignored",
                           answer.job.jobKey, answer.job.engineJob);
        return;
    }
    job->Answer(answer.continueEarlier);
    if (!answer.applyToAll) return;
    standingAnswer_ = answer.continueEarlier;
    for (const auto& [number, other] : jobs_)
        if (other->AwaitingAnswer()) other->Answer(answer.continueEarlier);
}

EngineJob* ClientConnection::FindJob(const JobRef& ref) {
    auto it = jobs_.find(ref.engineJob);
    if (it == jobs_.end() || it->second->Ref().jobKey != ref.jobKey || it->second->Ended())
        return nullptr;
    return it->second.get();
}

void ClientConnection::Tick(std::int64_t nowMs) {
    for (auto it = jobs_.begin(); it != jobs_.end();) {
        if (it->second->Ended()) {
            it = jobs_.erase(it);
        } else {
            it->second->Tick(nowMs);
            ++it;
        }
    }
}

void ClientConnection::Send(std::string frame) {
    if (!healthy_) return;
    output_.append(frame);
    if (output_.size() > kMaxPendingOutput) return Drop("the peer does not read");
    Flush();
}

void ClientConnection::OnWritable() {
    Flush();
}

void ClientConnection::Flush() {
    while (!output_.empty() && healthy_) {
        const ssize_t n = send(fd_, output_.data(), output_.size(), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) return;
            return Drop("send failed");
        }
        output_.erase(0, static_cast<std::size_t>(n));
    }
}

}  // namespace engine
