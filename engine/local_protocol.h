// The local engine protocol: the messages the service and the download
// engine exchange over their loopback connection, as plain records, and
// their payloads byte for byte (the frame around them is transport/frame.h).
//
// All integers are little-endian, all records packed. A fixed text field
// holds the text and zero bytes up to its width; a variable text ends with a
// zero byte (message 20 gives its address a length instead).
//
// Decoding never trusts the engine: each message's minimum length is checked
// against its payload before a field is read, texts are searched for their
// end only inside their field or the payload, and of a progress report only
// the first file record is decoded, and only when it fits. A payload that
// does not hold its fields is malformed (false), never read past.
//
// Plain functions without state; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

inline constexpr std::uint16_t kLocalMessageType = 0x0100;
inline constexpr std::uint16_t kLocalSubmitType = 0x0102;  // message 14 only

enum LocalSubtype : std::uint16_t {
    kMsgJobMode = 0,
    kMsgJobLabel = 1,
    kMsgCancelJob = 3,
    kMsgJobAccepted = 4,
    kMsgProgressReport = 5,
    kMsgJobEnded = 6,
    kMsgFileDone = 7,
    kMsgJobState = 8,
    kMsgNetworkLost = 9,
    kMsgNetworkRestored = 10,
    kMsgJobFailed = 11,
    kMsgServiceKey = 12,
    kMsgJobOption = 13,
    kMsgJobSubmit = 14,
    kMsgFileDoneAt = 15,
    kMsgResumeQuestion = 16,
    kMsgJobEngineFlag = 17,
    kMsgResumeAnswer = 18,
    kMsgJobSubmitBegin = 19,
    kMsgJobSubmitFile = 20,
    kMsgJobSubmitEnd = 21,
};

inline constexpr std::size_t kPathFieldSize = 260;
inline constexpr std::size_t kKeyFieldSize = 33;
inline constexpr std::size_t kJobHeadSize = 41;
inline constexpr std::size_t kSubmitFileFixedSize = 531;  // file record of 14 without the URL
// JobSubmit is used while its payload stays below this; else 19, 20..., 21.
inline constexpr std::uint64_t kSubmitSplitThreshold = 130048;

// One file of a job description.
struct LocalFileRecord {
    std::uint8_t option1 = 1;
    std::uint8_t option2 = 0;
    std::int64_t size = -1;
    std::string folder;  // ends with the separator
    std::string name;
    std::string url;
};

struct LocalJobHead {
    std::uint32_t jobKey = 0;
    std::uint32_t fileCount = 0;
    std::string serviceKey;  // the job's own key, at most 32 bytes
};

// --- What the service sends. Each answers the payload, or false when a
// field does not fit its width (a folder or name of 260 bytes or more, a key
// of 33 or more, an address over 65535 bytes for message 20): such a value
// is never cut short into another path.
std::vector<std::uint8_t> EncodeServiceKey(std::string_view key);  // cut at 259 bytes
std::vector<std::uint8_t> EncodeJobMode(std::uint8_t mode);
std::vector<std::uint8_t> EncodeJobKey(std::uint32_t jobKey);  // 17 and 21
[[nodiscard]] bool EncodeJobSubmit(const LocalJobHead& head,
                                   const std::vector<LocalFileRecord>& files,
                                   std::vector<std::uint8_t>* payload);
[[nodiscard]] bool EncodeJobSubmitBegin(const LocalJobHead& head,
                                        std::vector<std::uint8_t>* payload);
[[nodiscard]] bool EncodeJobSubmitFile(std::uint32_t jobKey, std::uint32_t index,
                                       const LocalFileRecord& file,
                                       std::vector<std::uint8_t>* payload);
std::vector<std::uint8_t> EncodeCancelJob(std::uint32_t jobKey, std::uint32_t engineJob);
std::vector<std::uint8_t> EncodeJobOption(std::uint32_t jobKey, std::uint32_t engineJob,
                                          std::uint8_t value);
// The engine job number comes first here, unlike in every other message.
std::vector<std::uint8_t> EncodeResumeAnswer(std::uint32_t engineJob, std::uint32_t jobKey,
                                             std::uint8_t first, std::uint8_t second);
// The payload length of a single JobSubmit, in 64 bits: 41 + the sum of
// 531 + the address length over the files.
std::uint64_t JobSubmitPayloadLength(const std::vector<LocalFileRecord>& files);

// --- What the engine sends.
struct JobAccepted {
    std::uint32_t jobKey = 0, engineJob = 0, fileCount = 0;
    std::uint64_t totalBytes = 0;
};
struct ProgressFileRecord {
    std::uint64_t size = 0, received = 0;
    std::uint32_t speed = 0;
};
struct ProgressReport {
    std::uint32_t jobKey = 0, engineJob = 0, fileCount = 0, filesDone = 0;
    std::uint64_t totalBytes = 0, receivedBytes = 0;
    std::uint32_t speed = 0;
    std::uint64_t elapsedSeconds = 0;
    std::uint32_t recordCount = 0;  // as the engine announced it
    bool hasFirstRecord = false;    // the first record was there and fit
    ProgressFileRecord first;
};
struct JobEnded {
    std::uint32_t jobKey = 0, engineJob = 0, completedFiles = 0, fallback = 0;
};
// What a finished file took, when the engine says so: our engine puts it
// behind the address of messages 7 and 15, after the address's zero byte,
// where a receiver that knows nothing of it never reads: the tag "TLXb",
// then u64 bytes fetched for the file by this run, u64 of them from peers,
// u64 from file servers. Absent from other engines.
inline constexpr char kFileBytesTag[4] = {'T', 'L', 'X', 'b'};
inline constexpr std::size_t kFileBytesSize = 4 + 3 * 8;
struct FileBytes {
    std::uint64_t fetched = 0, fromPeers = 0, fromServers = 0;
};

struct FileDone {
    std::uint32_t jobKey = 0, engineJob = 0;
    std::string path;
    std::string storedPath;  // FileDoneAt (15) only
    std::string url;
    bool hasBytes = false;  // the figures below came with the message
    FileBytes bytes;
};
struct JobStateRecord {
    std::uint32_t jobKey = 0, engineJob = 0;
    std::uint8_t state = 0;
    std::string text;
};
struct JobFailed {
    std::uint32_t jobKey = 0;
    std::string text;
};

[[nodiscard]] bool DecodeJobAccepted(const std::uint8_t* data, std::size_t length,
                                     JobAccepted* out);
[[nodiscard]] bool DecodeProgressReport(const std::uint8_t* data, std::size_t length,
                                        ProgressReport* out);
[[nodiscard]] bool DecodeJobEnded(const std::uint8_t* data, std::size_t length, JobEnded* out);
// `at` false: message 7; true: message 15.
[[nodiscard]] bool DecodeFileDone(const std::uint8_t* data, std::size_t length, bool at,
                                  FileDone* out);
[[nodiscard]] bool DecodeJobState(const std::uint8_t* data, std::size_t length,
                                  JobStateRecord* out);
[[nodiscard]] bool DecodeJobFailed(const std::uint8_t* data, std::size_t length, JobFailed* out);
[[nodiscard]] bool DecodeJobKey(const std::uint8_t* data, std::size_t length,
                                std::uint32_t* jobKey);
