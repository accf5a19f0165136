#include "messages.h"
#include "wire_codec.h"

namespace engine {
namespace {

bool ReadFileFields(ByteReader* in, DescribedFile* file) {
    file->option1 = in->U8();
    file->option2 = in->U8();
    file->size = static_cast<std::int64_t>(in->U64());
    file->folder = in->FixedText(kPathField);
    file->name = in->FixedText(kPathField);
    return in->Ok();
}

bool ReadHead(ByteReader* in, JobHead* head) {
    head->jobKey = in->U32();
    head->fileCount = in->U32();
    head->serviceKey = in->FixedText(kKeyField);
    return in->Ok() && head->fileCount <= kMaxFilesPerJob;
}

}  // namespace

bool DecodeServiceKey(std::string_view payload, std::string* key) {
    ByteReader in(payload);
    *key = in.FixedText(kPathField);
    return in.Ok();
}

bool DecodeJobMode(std::string_view payload, std::uint8_t* mode) {
    ByteReader in(payload);
    *mode = in.U8();
    in.Raw(16);  // reserved
    return in.Ok();
}

bool DecodeJobLabel(std::string_view payload, std::string* label) {
    ByteReader in(payload);
    *label = in.FixedText(kLabelField);
    return in.Ok();
}

bool DecodeJobKey(std::string_view payload, std::uint32_t* jobKey) {
    ByteReader in(payload);
    *jobKey = in.U32();
    return in.Ok();
}

bool DecodeJobSubmit(std::string_view payload, JobDescription* job) {
    ByteReader in(payload);
    if (!ReadHead(&in, &job->head)) return false;
    job->files.clear();
    for (std::uint32_t i = 0; i < job->head.fileCount; ++i) {
        DescribedFile file;
        if (!ReadFileFields(&in, &file)) return false;
        file.url = in.Text();
        if (!in.Ok() || file.url.size() > kMaxUrlField) return false;
        job->files.push_back(std::move(file));
    }
    // What follows the last file is the frame's padding.
    return true;
}

bool DecodeJobSubmitBegin(std::string_view payload, JobHead* head) {
    ByteReader in(payload);
    return ReadHead(&in, head);
}

bool DecodeJobSubmitFile(std::string_view payload, SubmitFile* file) {
    ByteReader in(payload);
    file->jobKey = in.U32();
    file->index = in.U32();
    if (!ReadFileFields(&in, &file->file)) return false;
    const std::uint16_t length = in.U16();
    if (length > kMaxUrlField) return false;
    file->file.url = in.Raw(length);
    if (!in.Ok()) return false;
    // The address travels without a terminator; one inside it would cut
    // it short wherever it is used as a text.
    return file->file.url.find('\0') == std::string::npos;
}

bool DecodeCancelJob(std::string_view payload, JobRef* job) {
    ByteReader in(payload);
    job->jobKey = in.U32();
    job->engineJob = in.U32();
    return in.Ok();
}

bool DecodeJobOption(std::string_view payload, JobOption* option) {
    ByteReader in(payload);
    option->job.jobKey = in.U32();
    option->job.engineJob = in.U32();
    option->value = in.U8();
    return in.Ok();
}

bool DecodeResumeAnswer(std::string_view payload, ResumeAnswer* answer) {
    ByteReader in(payload);
    // The engine's number comes first in this one message.
    answer->job.engineJob = in.U32();
    answer->job.jobKey = in.U32();
    answer->continueEarlier = in.U8() == 1;
    answer->applyToAll = in.U8() != 0;
    return in.Ok();
}

}  // namespace engine
