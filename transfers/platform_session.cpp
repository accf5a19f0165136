#include "transfers/platform_session.h"

#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstring>

#include "http/content_range.h"
#include "http/http_status.h"
#include "platform/files.h"
#include "service/base/service_log.h"
#include "service/base/status_codes.h"
#include "transfers/part_file.h"
#include "transfers/transfer_policy.h"

namespace {

std::string SystemError(int error) {
    return std::strerror(error);
}

std::uint32_t ReceiveRate(std::int32_t speedFlag) {
    return speedFlag ? transfer_policy::kFastBytesPerSecond : transfer_policy::kNormalBytesPerSecond;
}

}  // namespace

CPlatformSession::CPlatformSession(IPlatFormSessionEventListener* listener, void* context)
    : exchange_(this, {}), listener_(listener), context_(context) {
    ExchangePlan& plan = exchange_.Plan();
    plan.role = ExchangeRole::kFile;
    plan.settings.actionType = 5;
    plan.settings.connectTimeoutSeconds = plan.settings.idleTimeoutSeconds = kTimeoutSeconds;
    plan.settings.pacedActionType = 6;
    plan.settings.receiveRate = ReceiveRate(speedFlag_);
    plan.settings.carry = &budgetCarry_;
    plan.carry = &budgetCarry_;
    plan.need = BodyNeed::kLength;
    plan.takeRangeNotSatisfiable = true;
}

CPlatformSession::~CPlatformSession() {
    exchange_.Abandon();
    CloseFile();
    DropAhead();
}

void CPlatformSession::SetSpeedFlag(std::int32_t flag) {
    speedFlag_ = flag;
    exchange_.Plan().settings.receiveRate = ReceiveRate(flag);
}

void CPlatformSession::Begin(const std::vector<std::unique_ptr<JobFileEntry>>& files,
                             const std::function<std::int64_t(std::int32_t)>& remoteSize,
                             const std::function<bool(std::int32_t)>& replacedBefore) {
    files_.clear();
    knownSizes_.clear();
    for (const auto& file : files) {
        if (file->url.empty() || file->folder.empty() || file->localName.empty()) continue;
        SessionFile copy;
        copy.entry.index = file->index;
        copy.entry.url = file->url;
        copy.entry.folder = file->folder;
        copy.entry.localName = file->localName;
        copy.entry.serviceKey = file->serviceKey;
        copy.entry.remoteSize = 0;
        copy.entry.bytesWritten = 0;
        copy.entry.bytesOnDisk = 0;
        copy.replaced = replacedBefore && replacedBefore(file->index);
        files_.push_back(std::move(copy));
        knownSizes_.push_back(remoteSize ? remoteSize(file->index) : -1);
    }
    if (files_.empty()) {
        current_ = 0;
        if (listener_) listener_->OnSessionComplete(context_);
        return;
    }
    SelectFile(0);
    Request();
}

void CPlatformSession::Stop() {
    listener_ = nullptr;
    stopped_ = true;
    heldTail_.clear();
    exchange_.Abandon();
    CloseFile();
    DropAhead();
}

void CPlatformSession::SelectFile(std::size_t index) {
    current_ = index;
    requestAlternative_ = 0;
}

std::int64_t CPlatformSession::HeldOfCurrent() const {
    const SessionFile& file = files_[current_];
    return file.entry.bytesOnDisk + file.entry.bytesWritten;
}

void CPlatformSession::Request() {
    if (stopped_ || current_ >= files_.size()) return;
    exchange_.Start(files_[current_].entry.url);
}

bool CPlatformSession::OnRequest(HttpHeaders* headers) {
    if (stopped_ || current_ >= files_.size()) return false;
    SessionFile& file = files_[current_];
    if (!OpenFile(file)) {
        Fail("[OstrelLib] WriteFileOpen Failed : %s", exchange_.Url(), openFailure_);
        return false;
    }
    const std::int64_t known = knownSizes_[current_];
    if (exchange_.Cursor().AlternativeIndex() != requestAlternative_) {
        // Another mirror may honour ranges where the last one did not.
        requestAlternative_ = exchange_.Cursor().AlternativeIndex();
        wholeFile_ = false;
    }
    // Only a whole body may replace what is on disk: when the job starts
    // over, or the bytes on disk cannot be this file's beginning.
    if ((startOver_ && !file.replaced) || (known >= 0 && file.entry.bytesOnDisk > known))
        wholeFile_ = true;
    requestedOffset_ = wholeFile_ ? 0 : file.entry.bytesOnDisk;
    replacing_ = false;
    if (!wholeFile_) {
        char range[48];
        std::snprintf(range, sizeof range, "bytes=%" PRId64 "-", requestedOffset_);
        headers->emplace_back("Range", range);
    }
    return true;
}

int CPlatformSession::OpenPath(const SessionFile& file, plat::File& into, std::string* path,
                               bool* moved) {
    std::string folder = file.entry.folder;
    if (folder.back() != '/' && folder.back() != '\\') folder.push_back('/');
    // The partial file; the final name is given only to a whole file.
    if (!PrepareToWrite(folder + file.entry.localName, path, moved)) return errno;
    if (into.OpenKeep(*path)) return 0;
    if (into.LastError() != ENOENT) return into.LastError();
    // No folder (yet, or any more): make it; one that cannot be made fails
    // the open.
    (void)plat::EnsureFolderPath(folder);
    return into.OpenKeep(*path) ? 0 : into.LastError();
}

bool CPlatformSession::OpenFile(SessionFile& file) {
    writeFailed_ = false;
    CloseFile();
    std::string path;
    std::int64_t length = -1;
    if (aheadIndex_ == current_) {
        file_ = std::move(aheadFile_);
        path = std::move(aheadPath_);
        openMoved_ = aheadMoved_;
        aheadIndex_ = kNoFile;
        aheadPath_.clear();
        // Opened while the last file came in: when something else has
        // removed or changed it since, it is opened afresh.
        length = file_.LengthAtOpen();
        if (!file_.StillAsOpened()) file_.Close();
    }
    if (!file_.IsOpen()) {
        if (const int error = OpenPath(file, file_, &path, &openMoved_); error != 0) {
            WriteServiceLogFormat("[OstrelLib] CreateFile Failed(%d) : %s", error, path.c_str());
            openFailure_ = "cannot write " + path + ": " + SystemError(error);
            return false;
        }
        length = file_.LengthAtOpen();
    }
    openPath_ = path;
    // Whatever this file counted before is replaced by what is on disk now.
    runningTotal_ -= file.entry.bytesOnDisk + file.entry.bytesWritten;
    file.entry.bytesOnDisk = length;
    file.entry.bytesWritten = 0;
    runningTotal_ += length;
    if (listener_) listener_->OnFileOpened(path, context_);
    return true;
}

void CPlatformSession::CloseFile() {
    CloseUnbegun(file_, openPath_, openMoved_);
    openMoved_ = false;
}

void CPlatformSession::OpenAhead() {
    const std::size_t next = current_ + 1;
    if (stopped_ || next >= files_.size() || aheadIndex_ == next) return;
    DropAhead();
    std::string path;
    // A file that cannot be opened now is opened again in its turn, which
    // reports the failure.
    if (OpenPath(files_[next], aheadFile_, &path, &aheadMoved_) != 0) return;
    aheadIndex_ = next;
    aheadPath_ = std::move(path);
}

void CPlatformSession::CloseUnbegun(plat::File& file, std::string& path, bool moved) {
    const bool open = file.IsOpen();
    const bool unbegun = open && file.CreatedByOpen() && file.Size() == 0;
    const bool untouched = open && moved && file.Size() == file.LengthAtOpen();
    file.Close();
    if (unbegun) {
        (void)plat::RemoveFile(path);
    } else if (untouched) {
        // Nothing was written: the file goes back under its own name (a
        // whole file from an earlier run stays a whole file).
        const std::string final = FinalPathOf(path);
        if (final != path && plat::FileLength(final) < 0) (void)plat::RenameFile(path, final);
    }
    path.clear();
}

void CPlatformSession::DropAhead() {
    if (aheadIndex_ == kNoFile) return;
    CloseUnbegun(aheadFile_, aheadPath_, aheadMoved_);
    aheadMoved_ = false;
    aheadIndex_ = kNoFile;
}

bool CPlatformSession::RestartFile() {
    SessionFile& file = files_[current_];
    // An empty file is not truncated: on ext4 a truncation to 0 makes the
    // close write the file's data out at once (it guards files replaced by
    // truncate-and-rewrite), which costs a new small file a disk write.
    const bool empty = file.entry.bytesOnDisk == 0 && file.entry.bytesWritten == 0;
    if (!empty && !file_.Truncate(0)) return false;
    runningTotal_ -= file.entry.bytesOnDisk + file.entry.bytesWritten;
    file.entry.bytesOnDisk = 0;
    file.entry.bytesWritten = 0;
    file.replaced = true;
    return true;
}

void CPlatformSession::Fail(const std::string& logFormat, const std::string& url,
                            const std::string& reason, bool passing) {
    WriteServiceLogFormat(logFormat.c_str(), url.c_str());
    stopped_ = true;
    exchange_.Abandon();
    CloseFile();
    DropAhead();
    std::string text = url;
    if (!reason.empty()) text += ": " + reason;
    if (holdFailure_) {
        heldFailure_ = HeldFailure{std::move(text), passing};
        return;
    }
    if (listener_) listener_->OnSessionFailed(context_, text, passing);
}

void CPlatformSession::OnFailed(const ExchangeFailure& failure) {
    Fail(failure.outcome == HttpOutcome::kRedirectRefused ? "[OstrelLib] eNWHSC_HTTP_SEEOTHER  : %s"
                                                           : "[OstrelLib] TryMax Over : %s",
         failure.url, failure.reason, IsPassing(failure.outcome));
}

HeadVerdict CPlatformSession::OnHead(const ExchangeHead& head) {
    if (current_ >= files_.size()) return HeadVerdict::Enough();
    if (head.status == eNWHSC_HTTP_RANGE_NOT_SATISFIABLE) return OnRangeNotSatisfiable(head.layer);
    // The exchange let only 200 and 206 with an announced length through;
    // an empty body (Content-Length 0) ends at once.
    bodyLeft_ = head.contentLength;
    if (head.status == eNWHSC_HTTP_OK) return OnStatusOk(head.contentLength);
    return OnPartialContent(head.layer, head.contentLength);
}

HeadVerdict CPlatformSession::OnStatusOk(std::int64_t length) {
    SessionFile& file = files_[current_];
    // The whole file. When it is exactly what is on disk (and that may be
    // kept), it is complete.
    if (!wholeFile_ && length == file.entry.bytesOnDisk) {
        file.entry.remoteSize = length;
        return HeadVerdict::Enough();
    }
    // A whole body replaces what is on disk, from its first byte on.
    file.entry.remoteSize = length;
    replacing_ = true;
    return HeadVerdict::Take();
}

HeadVerdict CPlatformSession::OnPartialContent(vzIHttpClientExLayer* layer, std::int64_t length) {
    SessionFile& file = files_[current_];
    std::string value;
    ContentRange range;
    const bool readable =
        vzSucceeded(layer->GetHeader("Content-Range", &value)) && ParseContentRange(value, &range);
    const std::int64_t known = knownSizes_[current_];
    // Exactly the part asked for: from our offset, as long as announced, and
    // of the file's size when that is known.
    const bool sane = readable && range.last - range.first + 1 == length &&
                      (range.total < 0 || range.last < range.total) &&
                      (range.total < 0 || known < 0 || range.total == known);
    if (sane && range.first == 0 && range.total == length) {
        // The whole file, only labelled a part: a whole replacement body.
        return OnStatusOk(length);
    }
    const bool fits = sane && !wholeFile_ && range.first == requestedOffset_;
    if (!fits) {
        // Not the part asked for: nothing of it is written, and the next
        // attempt asks for the whole file instead.
        wholeFile_ = true;
        return HeadVerdict::Reject(HttpOutcome::kWrongPart,
                                   "the server answered with another part of the file (" +
                                       (readable ? value.substr(0, 64)
                                                 : std::string("no usable Content-Range")) +
                                       ")");
    }
    file.entry.remoteSize = range.total >= 0 ? range.total : requestedOffset_ + length;
    return HeadVerdict::Take();
}

HeadVerdict CPlatformSession::OnRangeNotSatisfiable(vzIHttpClientExLayer* layer) {
    SessionFile& file = files_[current_];
    std::string value;
    ContentRange range;
    if (vzSucceeded(layer->GetHeader("Content-Range", &value)))
        (void)ParseContentRange(value, &range);
    const std::int64_t known = knownSizes_[current_];
    const std::int64_t size = known >= 0 ? known : range.total;
    // Nothing left to send: the file on disk is whole (an empty file's
    // first byte is beyond its end too).
    if (!wholeFile_ && size >= 0 && file.entry.bytesOnDisk == size) {
        file.entry.remoteSize = size;
        return HeadVerdict::Enough();
    }
    // What is on disk is not this file's beginning: ask for the whole file.
    wholeFile_ = true;
    return HeadVerdict::Reject(HttpOutcome::kWrongPart, "HTTP 416 for bytes the file should have");
}

std::int32_t CPlatformSession::OnBody(const void* data, std::int32_t length) {
    if (current_ >= files_.size() || !file_.IsOpen() || writeFailed_) {
        if (listener_) listener_->OnProgress(context_);
        return length;
    }
    if (replacing_) {
        replacing_ = false;
        if (!RestartFile()) {
            writeFailed_ = true;
            Fail("[OstrelLib] WriteFileOpen Failed : %s", exchange_.Url(),
                 "cannot empty " + openPath_ + ": " + SystemError(file_.LastError()));
            return length;
        }
    }
    bodyLeft_ -= length;
    if (bodyLeft_ == 0 && HeldOfCurrent() + length == files_[current_].entry.remoteSize) {
        // The last piece of the file: the layer reports the end right after
        // this, and the piece is written once the next request has left.
        heldTail_.assign(static_cast<const char*>(data), static_cast<std::size_t>(length));
        return length;
    }
    if (!file_.Append(data, static_cast<std::size_t>(length))) {
        // A short or failed write would leave a hole in the file: stop here
        // rather than report a damaged file as complete.
        OnWriteFailed(file_.LastError(), exchange_.Cursor().LastUrl(), openPath_);
        return length;
    }
    CountWritten(current_, length);
    if (listener_) listener_->OnProgress(context_);
    return length;
}

void CPlatformSession::CountWritten(std::size_t index, std::int64_t length) {
    SessionFile& file = files_[index];
    file.entry.bytesWritten += length;
    file.runWritten += length;
    runWritten_ += length;
    runningTotal_ += length;
}

bool CPlatformSession::GiveFinalName(const std::string& partPath, int* error) {
    const std::string final = FinalPathOf(partPath);
    if (final == partPath) return true;
    // Atomic: a file under the final name is the old one or the whole new one.
    if (plat::RenameFile(partPath, final)) return true;
    *error = errno;
    return false;
}

void CPlatformSession::OnWriteFailed(int error, const std::string& url, const std::string& path,
                                     const char* failedTo) {
    writeFailed_ = true;
    stopped_ = true;
    const std::string text =
        url + ": " + failedTo + " " + path + " failed: " + SystemError(error);
    WriteServiceLogFormat("[OstrelLib] WriteFile Failed(%d) : %s", error, path.c_str());
    exchange_.Abandon();
    CloseFile();
    DropAhead();
    // A full disk is the job's 513; any other write failure names its cause.
    const bool diskFull = error == ENOSPC || error == EDQUOT;
    if (listener_) listener_->OnError(context_, diskFull ? kResultBadUrl : kResultFailed, text);
}

bool CPlatformSession::WriteHeldTail(plat::File& file, int* error) {
    if (heldTail_.empty()) return true;
    const bool written = file.Append(heldTail_.data(), heldTail_.size());
    if (!written) *error = file.LastError();
    heldTail_.clear();
    return written;
}

void CPlatformSession::OnEnd() {
    if (current_ >= files_.size() || writeFailed_ || stopped_) return;
    if (replacing_) {
        // A whole replacement that is empty: no byte came to empty the file.
        replacing_ = false;
        if (!RestartFile()) {
            writeFailed_ = true;
            Fail("[OstrelLib] WriteFileOpen Failed : %s", exchange_.Url(),
                 "cannot empty " + openPath_ + ": " + SystemError(file_.LastError()));
            return;
        }
    }
    const SessionFile& file = files_[current_];
    if (HeldOfCurrent() + static_cast<std::int64_t>(heldTail_.size()) < file.entry.remoteSize) {
        // The server sent a shorter part than the rest of the file: ask for
        // what is still missing.
        heldTail_.clear();
        CloseFile();
        exchange_.Reject(HttpOutcome::kWrongPart, "the server sent only part of the rest of the file");
        return;
    }
    NextFile();
}

void CPlatformSession::NextFile() {
    const std::size_t finished = current_;
    const std::size_t next = finished + 1;
    plat::File finishing = std::move(file_);
    const std::string finishingPath = std::move(openPath_);
    openMoved_ = false;
    const std::string finishingUrl = exchange_.Cursor().LastUrl();
    openPath_.clear();
    // The exchange has given its connection up (kept for the next file).
    exchange_.Finish();
    const bool early =
        listener_ && next < files_.size() && aheadIndex_ == next && !heldTail_.empty();
    if (early) {
        SelectFile(next);
        wholeFile_ = false;
        holdFailure_ = true;
        Request();
        holdFailure_ = false;
    }
    int error = 0;
    const std::int64_t tail = static_cast<std::int64_t>(heldTail_.size());
    const char* failedTo = "writing";
    bool whole = WriteHeldTail(finishing, &error);
    if (whole) {
        finishing.Close();
        failedTo = "naming";
        whole = GiveFinalName(finishingPath, &error);
    }
    if (!whole) {
        // The next file was only just begun: it goes as one opened ahead.
        if (early) CloseFile();
        heldFailure_.reset();  // the write failure is the one told
        SelectFile(finished);
        OnWriteFailed(error, finishingUrl, finishingPath, failedTo);
        return;
    }
    CountWritten(finished, tail);
    SessionFile& done = files_[finished];
    if (done.entry.remoteSize <= 0)
        done.entry.remoteSize = done.entry.bytesOnDisk + done.entry.bytesWritten;
    done.entry.state = 2;
    if (!early) {
        SelectFile(next);
        wholeFile_ = false;
    }
    if (listener_ && tail > 0) listener_->OnProgress(context_);
    if (listener_) listener_->OnFileCompleted(context_, files_[finished]);
    if (heldFailure_) {
        const HeldFailure held = std::move(*heldFailure_);
        heldFailure_.reset();
        if (listener_) listener_->OnSessionFailed(context_, held.text, held.passing);
        return;
    }
    if (!listener_ || early) return;
    if (current_ < files_.size())
        Request();
    else
        listener_->OnSessionComplete(context_);
}
