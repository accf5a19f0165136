// The engine link's messages as records, and their encoding. Incoming
// messages come from the launcher (the service), outgoing ones go to it.
// Every decoder checks its payload's length before it reads a field and
// finds each text's end inside its field or the payload; a false result
// means the message is malformed and the connection must go.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace engine {

enum Subtype : std::uint16_t {
    kJobMode = 0,
    kJobLabel = 1,
    kCancelJob = 3,
    kJobAccepted = 4,
    kProgressReport = 5,
    kJobEnded = 6,
    kFileDone = 7,
    kJobState = 8,
    kNetworkLost = 9,
    kNetworkRestored = 10,
    kJobFailed = 11,
    kServiceKey = 12,
    kJobOption = 13,
    kJobSubmit = 14,
    kFileDoneAt = 15,
    kResumeQuestion = 16,
    kJobEngineFlag = 17,
    kResumeAnswer = 18,
    kJobSubmitBegin = 19,
    kJobSubmitFile = 20,
    kJobSubmitEnd = 21,
};

inline constexpr std::size_t kPathField = 260;
inline constexpr std::size_t kKeyField = 33;
inline constexpr std::size_t kLabelField = 20;
// Limits of what one job may describe; far above a game's file list.
inline constexpr std::uint32_t kMaxFilesPerJob = 2048;
inline constexpr std::size_t kMaxUrlField = 8192;

struct DescribedFile {
    std::uint8_t option1 = 0;
    std::uint8_t option2 = 0;
    std::int64_t size = -1;  // -1: unknown
    std::string folder;
    std::string name;
    std::string url;  // alternatives separated by "|"
};

struct JobHead {
    std::uint32_t jobKey = 0;
    std::uint32_t fileCount = 0;
    std::string serviceKey;
};

struct JobDescription {
    JobHead head;
    std::vector<DescribedFile> files;
};

struct JobRef {
    std::uint32_t jobKey = 0;
    std::uint32_t engineJob = 0;
};

struct JobOption {
    JobRef job;
    std::uint8_t value = 0;
};

struct ResumeAnswer {
    JobRef job;
    bool continueEarlier = false;
    bool applyToAll = false;
};

struct SubmitFile {
    std::uint32_t jobKey = 0;
    std::uint32_t index = 0;
    DescribedFile file;
};

// Decoders (messages 12, 0, 1, 17, 14, 19, 20, 21, 3, 13, 18).
[[nodiscard]] bool DecodeServiceKey(std::string_view payload, std::string* key);
[[nodiscard]] bool DecodeJobMode(std::string_view payload, std::uint8_t* mode);
[[nodiscard]] bool DecodeJobLabel(std::string_view payload, std::string* label);
// Messages 17 and 21: one job key.
[[nodiscard]] bool DecodeJobKey(std::string_view payload, std::uint32_t* jobKey);
[[nodiscard]] bool DecodeJobSubmit(std::string_view payload, JobDescription* job);
[[nodiscard]] bool DecodeJobSubmitBegin(std::string_view payload, JobHead* head);
[[nodiscard]] bool DecodeJobSubmitFile(std::string_view payload, SubmitFile* file);
[[nodiscard]] bool DecodeCancelJob(std::string_view payload, JobRef* job);
[[nodiscard]] bool DecodeJobOption(std::string_view payload, JobOption* option);
[[nodiscard]] bool DecodeResumeAnswer(std::string_view payload, ResumeAnswer* answer);

struct ProgressFigures {
    JobRef job;
    std::uint32_t fileCount = 0;
    std::uint32_t filesDone = 0;  // also the index of the current file
    std::uint64_t totalBytes = 0;
    std::uint64_t receivedBytes = 0;
    std::uint32_t speed = 0;
    std::uint64_t elapsedSeconds = 0;
    // The current file.
    std::string serviceKey;
    std::uint64_t fileSize = 0;
    std::uint64_t fileReceived = 0;
    std::uint32_t fileSpeed = 0;
    std::string fileName;
};

// Encoders: each returns a whole frame. Fixed text fields must be shorter
// than their width; the callers check paths before a job is accepted.
std::string EncodeJobAccepted(const JobRef& job, std::uint32_t fileCount, std::uint64_t totalBytes);
std::string EncodeProgressReport(const ProgressFigures& figures);
std::string EncodeJobEnded(const JobRef& job, std::uint32_t completed, bool fallback);
// What a finished file took, sent behind the address of messages 7 and 15
// (after its zero byte) where a launcher that knows nothing of it never
// reads: "TLXb", then u64 bytes fetched by this run, u64 from peers, u64
// from file servers.
struct FileSources {
    std::uint64_t fetched = 0, fromPeers = 0, fromServers = 0;
};

// `sources`: the figures to send behind the address; null sends none.
std::string EncodeFileDone(const JobRef& job, std::string_view serviceKey,
                           std::string_view localPath, std::string_view url,
                           const FileSources* sources = nullptr);
std::string EncodeFileDoneAt(const JobRef& job, std::string_view serviceKey,
                             std::string_view localPath, std::string_view storedPath,
                             std::string_view url, const FileSources* sources = nullptr);
std::string EncodeJobState(const JobRef& job, std::uint8_t state, std::string_view text);
std::string EncodeNetworkLost();
std::string EncodeNetworkRestored();
std::string EncodeJobFailed(std::uint32_t jobKey, std::string_view text);
std::string EncodeResumeQuestion(std::uint32_t jobKey);

}  // namespace engine
