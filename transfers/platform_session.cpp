#include "transfers/platform_session.h"

#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstring>

#include "http/code_page.h"
#include "http/http_status.h"
#include "platform/files.h"
#include "service/base/service_log.h"
#include "service/base/status_codes.h"
#include "transfers/connection_recipe.h"
#include "transfers/http_response_check.h"
#include "http/content_range.h"
#include "transport/net_interfaces.h"

namespace {

std::string SystemError(int error) {
    return std::strerror(error);
}

}  // namespace

CPlatformSession::CPlatformSession(IPlatFormSessionEventListener* listener, void* context)
    : cursor_(ExchangeLimits{kAttemptsPerUrl, 20}), listener_(listener), context_(context) {}

CPlatformSession::~CPlatformSession() {
    DropHttpConnection(connection_);
    CloseFile();
    DropAhead();
}

void CPlatformSession::Begin(const std::vector<std::unique_ptr<JobFileEntry>>& files,
                             const std::function<std::int64_t(std::int32_t)>& remoteSize) {
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
    DropHttpConnection(connection_);
    CloseFile();
    DropAhead();
}

void CPlatformSession::SelectFile(std::size_t index) {
    current_ = index;
    if (index >= files_.size()) return;
    cursor_.Reset(files_[index].entry.url);
    requestAlternative_ = cursor_.AlternativeIndex();
}

std::int64_t CPlatformSession::HeldOfCurrent() const {
    const SessionFile& file = files_[current_];
    return file.entry.bytesOnDisk + file.entry.bytesWritten;
}

void CPlatformSession::Request() {
    if (stopped_ || current_ >= files_.size()) return;
    if (!cursor_.TakeAttempt()) {
        Fail("[OstrelLib] TryMax Over : %s");
        return;
    }
    SessionFile& file = files_[current_];
    if (!OpenFile(file)) {
        Fail("[OstrelLib] WriteFileOpen Failed : %s");
        return;
    }
    const std::int64_t known = knownSizes_[current_];
    if (cursor_.AlternativeIndex() != requestAlternative_) {
        // Another mirror may honour ranges where the last one did not.
        requestAlternative_ = cursor_.AlternativeIndex();
        wholeFile_ = false;
    }
    // Only a whole body may replace what is on disk: when the job starts
    // over, or the bytes on disk cannot be this file's beginning.
    if ((startOver_ && !file.replaced) || (known >= 0 && file.entry.bytesOnDisk > known))
        wholeFile_ = true;
    requestedOffset_ = wholeFile_ ? 0 : file.entry.bytesOnDisk;
    replacing_ = false;
    unreachable_ = false;
    HttpHeaders headers;
    if (!wholeFile_) {
        char range[48];
        std::snprintf(range, sizeof range, "bytes=%" PRId64 "-", requestedOffset_);
        headers.emplace_back("Range", range);
    }
    if (connection_) return;
    HttpConnectionSettings settings;
    settings.actionType = 5;
    settings.connectTimeoutSeconds = settings.idleTimeoutSeconds = kTimeoutSeconds;
    settings.pacedActionType = 6;
    settings.receiveRate = speedFlag_ ? kFastBudget : kNormalBudget;
    settings.carry = &budgetCarry_;
    std::string whyNot;
    if (!OpenHttpConnection(connection_, settings, this, cursor_.Url(), headers, &whyNot)) {
        cursor_.NoteFailure(whyNot);
        Fail("[OstrelLib] TryMax Over : %s");
        return;
    }
    OpenAhead();
}

bool CPlatformSession::OpenPath(const SessionFile& file, plat::File& into, std::string* path) {
    std::string folder = file.entry.folder;
    if (folder.back() != '/' && folder.back() != '\\') folder.push_back('/');
    *path = folder + file.entry.localName;
    if (into.OpenKeep(*path)) return true;
    if (into.LastError() != ENOENT) return false;
    // No folder (yet, or any more): make it; one that cannot be made fails
    // the open.
    (void)plat::EnsureFolderPath(folder);
    return into.OpenKeep(*path);
}

bool CPlatformSession::OpenFile(SessionFile& file) {
    writeFailed_ = false;
    CloseFile();
    std::string path;
    std::int64_t length = -1;
    if (aheadIndex_ == current_) {
        file_ = std::move(aheadFile_);
        path = std::move(aheadPath_);
        aheadIndex_ = kNoFile;
        aheadPath_.clear();
        // Opened while the last file came in: when something else has
        // removed or changed it since, it is opened afresh.
        length = file_.LengthAtOpen();
        if (!file_.StillAsOpened()) file_.Close();
    }
    if (!file_.IsOpen()) {
        if (!OpenPath(file, file_, &path)) {
            WriteServiceLogFormat("[OstrelLib] CreateFile Failed(%d) : %s", file_.LastError(),
                                  path.c_str());
            cursor_.NoteFailure("cannot write " + path + ": " + SystemError(file_.LastError()));
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
    file_.Close();
    openPath_.clear();
}

void CPlatformSession::OpenAhead() {
    const std::size_t next = current_ + 1;
    if (stopped_ || next >= files_.size() || aheadIndex_ == next) return;
    DropAhead();
    std::string path;
    // A file that cannot be opened now is opened again in its turn, which
    // reports the failure.
    if (!OpenPath(files_[next], aheadFile_, &path)) return;
    aheadIndex_ = next;
    aheadPath_ = std::move(path);
}

void CPlatformSession::CloseUnbegun(plat::File& file, std::string& path) {
    const bool unbegun = file.IsOpen() && file.CreatedByOpen() && file.Size() == 0;
    file.Close();
    if (unbegun) (void)plat::RemoveFile(path);
    path.clear();
}

void CPlatformSession::DropAhead() {
    if (aheadIndex_ == kNoFile) return;
    CloseUnbegun(aheadFile_, aheadPath_);
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

void CPlatformSession::Fail(const std::string& logFormat) {
    const std::string url = cursor_.LastUrl();
    WriteServiceLogFormat(logFormat.c_str(), url.c_str());
    stopped_ = true;
    DropHttpConnection(connection_);
    CloseFile();
    DropAhead();
    std::string text = url;
    if (!cursor_.LastFailure().empty()) text += ": " + cursor_.LastFailure();
    if (holdFailure_) {
        heldFailure_ = std::move(text);
        return;
    }
    if (listener_) listener_->OnSessionFailed(context_, text);
}

void CPlatformSession::Retry(std::string reason) {
    // Never counted: the next request asks again from what is on disk.
    heldTail_.clear();
    cursor_.NoteFailure(std::move(reason));
    DropHttpConnection(connection_, budgetCarry_);
    CloseFile();
    if (stopped_ || current_ >= files_.size()) return;
    Request();
}

void CPlatformSession::OnHeaderReceived(std::uint32_t) {
    if (current_ >= files_.size()) return;
    vzIHttpClientExLayer* layer = HttpLayerOf(connection_);
    int status = 0;
    std::int64_t length = 0;
    // The getters leave 0 when the head has no such value.
    (void)layer->GetStatusCode(&status);
    (void)layer->GetContentLength(&length);

    if (status == eNWHSC_HTTP_OK || status == eNWHSC_HTTP_PARTIAL_CONTENT) {
        ResponseCheck check = CheckResponseBody(layer, BodyNeed::kLength);
        if (!check.ok) {
            Retry(check.reason);
            return;
        }
        if (length <= 0) {
            Retry("the server announced an empty body");
            return;
        }
        bodyLeft_ = length;
        if (status == eNWHSC_HTTP_OK)
            OnStatusOk(length);
        else
            OnPartialContent(layer, length);
        return;
    }
    if (IsRedirectStatus(status)) {
        std::string location;
        (void)layer->GetUndecodedHeader("Location:", &location);  // "" without one, refused below
        DropHttpConnection(connection_, budgetCarry_);
        CloseFile();
        switch (cursor_.OnRedirect(status, FromUtf8(location))) {
            case CHttpExchangeCursor::Redirect::kFollow:
            case CHttpExchangeCursor::Redirect::kTooMany:
                // Followed, or a failed attempt: either way the next request.
                Request();
                return;
            case CHttpExchangeCursor::Redirect::kRefused:
                Fail("[OstrelLib] eNWHSC_HTTP_SEEOTHER  : %s");
                return;
        }
        return;
    }
    if (status == eNWHSC_HTTP_RANGE_NOT_SATISFIABLE) {
        OnRangeNotSatisfiable(layer);
        return;
    }
    Retry(UnexpectedStatusText(status));
}

void CPlatformSession::OnStatusOk(std::int64_t length) {
    SessionFile& file = files_[current_];
    // The whole file. When it is exactly what is on disk (and that may be
    // kept), it is complete.
    if (!wholeFile_ && length == file.entry.bytesOnDisk) {
        file.entry.remoteSize = length;
        NextFile();
        return;
    }
    // A whole body replaces what is on disk, from its first byte on.
    file.entry.remoteSize = length;
    replacing_ = true;
}

void CPlatformSession::OnPartialContent(vzIHttpClientExLayer* layer, std::int64_t length) {
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
        OnStatusOk(length);
        return;
    }
    const bool fits = sane && !wholeFile_ && range.first == requestedOffset_;
    if (!fits) {
        // Not the part asked for: nothing of it is written, and the next
        // attempt asks for the whole file instead.
        wholeFile_ = true;
        Retry("the server answered with another part of the file (" +
              (readable ? value : std::string("no usable Content-Range")) + ")");
        return;
    }
    file.entry.remoteSize = range.total >= 0 ? range.total : requestedOffset_ + length;
}

void CPlatformSession::OnRangeNotSatisfiable(vzIHttpClientExLayer* layer) {
    SessionFile& file = files_[current_];
    std::string value;
    ContentRange range;
    if (vzSucceeded(layer->GetHeader("Content-Range", &value)))
        (void)ParseContentRange(value, &range);
    const std::int64_t known = knownSizes_[current_];
    const std::int64_t size = known >= 0 ? known : range.total;
    if (!wholeFile_ && size > 0 && file.entry.bytesOnDisk == size) {
        file.entry.remoteSize = size;
        NextFile();
        return;
    }
    // What is on disk is not this file's beginning: ask for the whole file.
    wholeFile_ = true;
    Retry("HTTP 416 for bytes the file should have");
}

std::int32_t CPlatformSession::OnBodyData(std::uint32_t, const void* data, std::int32_t length) {
    if (current_ >= files_.size() || !file_.IsOpen() || writeFailed_) {
        if (listener_) listener_->OnProgress(context_);
        return length;
    }
    if (replacing_) {
        replacing_ = false;
        if (!RestartFile()) {
            writeFailed_ = true;
            Fail("[OstrelLib] WriteFileOpen Failed : %s");
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
        OnWriteFailed(file_.LastError(), cursor_.LastUrl(), openPath_);
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

void CPlatformSession::OnWriteFailed(int error, const std::string& url, const std::string& path) {
    writeFailed_ = true;
    stopped_ = true;
    const std::string text = url + ": writing " + path + " failed: " + SystemError(error);
    WriteServiceLogFormat("[OstrelLib] WriteFile Failed(%d) : %s", error, path.c_str());
    DropHttpConnection(connection_);
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

void CPlatformSession::OnComplete(std::uint32_t) {
    if (current_ >= files_.size() || writeFailed_) return;
    const SessionFile& file = files_[current_];
    if (HeldOfCurrent() + static_cast<std::int64_t>(heldTail_.size()) < file.entry.remoteSize) {
        // The server sent a shorter part than the rest of the file: ask for
        // what is still missing.
        Retry("the server sent only part of the rest of the file");
        return;
    }
    NextFile();
}

void CPlatformSession::NextFile() {
    const std::size_t finished = current_;
    const std::size_t next = finished + 1;
    plat::File finishing = std::move(file_);
    const std::string finishingPath = std::move(openPath_);
    const std::string finishingUrl = cursor_.LastUrl();
    openPath_.clear();
    DropHttpConnection(connection_, budgetCarry_);
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
    if (!WriteHeldTail(finishing, &error)) {
        // The next file was only just begun: it goes as one opened ahead.
        if (early) CloseUnbegun(file_, openPath_);
        heldFailure_.reset();  // the write failure is the one told
        SelectFile(finished);
        OnWriteFailed(error, finishingUrl, finishingPath);
        return;
    }
    finishing.Close();
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
        const std::string text = std::move(*heldFailure_);
        heldFailure_.reset();
        if (listener_) listener_->OnSessionFailed(context_, text);
        return;
    }
    if (!listener_ || early) return;
    if (current_ < files_.size())
        Request();
    else
        listener_->OnSessionComplete(context_);
}

void CPlatformSession::OnClosed(std::uint32_t) {
    Retry(replacing_ || HeldOfCurrent() > requestedOffset_
              ? "the connection closed before the whole file arrived"
              : "the connection closed before an answer");
}

void CPlatformSession::OnConnectFailed(std::uint32_t) {
    Retry(unreachable_ ? "the host is unreachable" : "the connection failed");
}

void CPlatformSession::OnIdleTimeout(std::uint32_t) {
    Retry("the server stopped sending (or sent too slowly)");
}

void CPlatformSession::OnHostUnreachable(std::uint32_t) {
    unreachable_ = true;  // the connect failure follows
}
