#include "messages.h"
#include "wire_codec.h"

namespace engine {
namespace {

std::string Frame(Subtype subtype, const ByteWriter& payload) {
    return EncodeFrame(kEngineMessageType, subtype, payload.Bytes());
}

void WriteRef(ByteWriter* out, const JobRef& job) {
    out->U32(job.jobKey);
    out->U32(job.engineJob);
}

// Four numbers the launcher does not read close several messages.
void WriteUnusedTail(ByteWriter* out) {
    out->Zeros(16);
}

}  // namespace

std::string EncodeJobAccepted(const JobRef& job, std::uint32_t fileCount,
                              std::uint64_t totalBytes) {
    ByteWriter out;
    WriteRef(&out, job);
    out.U32(fileCount);
    out.U64(totalBytes);
    return Frame(kJobAccepted, out);
}

std::string EncodeProgressReport(const ProgressFigures& f) {
    ByteWriter out;
    WriteRef(&out, f.job);      // 0, 4
    out.U32(0);                 // 8
    out.U32(f.fileCount);       // 12
    out.U32(f.filesDone);       // 16
    out.U64(f.totalBytes);      // 20
    out.U64(f.receivedBytes);   // 28
    out.U32(f.speed);           // 36
    out.U32(0);                 // 40
    out.U64(f.elapsedSeconds);  // 44
    out.U64(0);                 // 52
    out.U32(1);                 // 60: one file record
    // The current file: key, size, received, speed, 11 reserved bytes, a
    // flag byte and the file's name.
    out.FixedText(f.serviceKey, kKeyField);
    out.U64(f.fileSize);
    out.U64(f.fileReceived);
    out.U32(f.fileSpeed);
    out.Zeros(11);
    out.U8(0);
    out.Text(f.fileName);
    return Frame(kProgressReport, out);
}

std::string EncodeJobEnded(const JobRef& job, std::uint32_t completed, bool fallback) {
    ByteWriter out;
    WriteRef(&out, job);
    out.U32(0);
    out.U32(completed);
    out.U32(fallback ? 1 : 0);
    return Frame(kJobEnded, out);
}

namespace {
void WriteSources(ByteWriter* out, const FileSources* sources) {
    if (!sources) return;
    for (char c : {'T', 'L', 'X', 'b'}) out->U8(static_cast<std::uint8_t>(c));
    out->U64(sources->fetched);
    out->U64(sources->fromPeers);
    out->U64(sources->fromServers);
}
}  // namespace

std::string EncodeFileDone(const JobRef& job, std::string_view serviceKey,
                           std::string_view localPath, std::string_view url,
                           const FileSources* sources) {
    ByteWriter out;
    WriteRef(&out, job);
    out.FixedText(serviceKey, kKeyField);
    out.FixedText(localPath, kPathField);
    out.Text(url);
    WriteSources(&out, sources);
    return Frame(kFileDone, out);
}

std::string EncodeFileDoneAt(const JobRef& job, std::string_view serviceKey,
                             std::string_view localPath, std::string_view storedPath,
                             std::string_view url, const FileSources* sources) {
    ByteWriter out;
    WriteRef(&out, job);
    out.FixedText(serviceKey, kKeyField);
    out.FixedText(localPath, kPathField);
    out.FixedText(storedPath, kPathField);
    out.Text(url);
    WriteSources(&out, sources);
    return Frame(kFileDoneAt, out);
}

std::string EncodeJobState(const JobRef& job, std::uint8_t state, std::string_view text) {
    ByteWriter out;
    WriteRef(&out, job);
    out.U8(state);
    out.Text(text);
    WriteUnusedTail(&out);
    return Frame(kJobState, out);
}

std::string EncodeNetworkLost() {
    ByteWriter out;
    WriteUnusedTail(&out);
    return Frame(kNetworkLost, out);
}

std::string EncodeNetworkRestored() {
    ByteWriter out;
    WriteUnusedTail(&out);
    return Frame(kNetworkRestored, out);
}

std::string EncodeJobFailed(std::uint32_t jobKey, std::string_view text) {
    ByteWriter out;
    out.U32(jobKey);
    out.U32(0);
    out.Text(text);
    WriteUnusedTail(&out);
    return Frame(kJobFailed, out);
}

std::string EncodeResumeQuestion(std::uint32_t jobKey) {
    ByteWriter out;
    out.U32(jobKey);
    return Frame(kResumeQuestion, out);
}

}  // namespace engine
