#include "transfers/platform_session.h"

#include <cinttypes>
#include <cstdlib>
#include <cstring>

#include "http/code_page.h"
#include "http/resolve_location.h"
#include "platform/files.h"
#include "service/base/service_log.h"
#include "service/base/status_codes.h"
#include "service/base/vz_ptr_list.h"
#include "transfers/connection_recipe.h"
#include "transport/net_interfaces.h"

namespace {

// "bytes A-B/N" -> A and N (N is -1 when "*" or absent); false when unreadable.
bool ParseContentRange(const std::string& value, std::int64_t* first, std::int64_t* total) {
    const char* p = value.c_str();
    while (*p == ' ') ++p;
    if (std::strncmp(p, "bytes", 5) != 0) return false;
    p += 5;
    while (*p == ' ') ++p;
    *first = -1;
    if (*p != '*') {
        char* end = nullptr;
        long long a = std::strtoll(p, &end, 10);
        if (end == p || a < 0) return false;
        *first = a;
        p = end;
    }
    const char* slash = std::strchr(p, '/');
    *total = -1;
    if (slash && slash[1] != '*') {
        char* end = nullptr;
        long long n = std::strtoll(slash + 1, &end, 10);
        if (end != slash + 1 && n >= 0) *total = n;
    }
    return true;
}

}  // namespace

CPlatformSession::CPlatformSession(IPlatFormSessionEventListener* listener, void* context)
    : listener_(listener), context_(context) {}

CPlatformSession::~CPlatformSession() {
    DropHttpConnection(connection_);
    CloseFile();
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
    Request(false);
}

void CPlatformSession::Stop() {
    listener_ = nullptr;
    stopped_ = true;
    DropHttpConnection(connection_);
    CloseFile();
}

void CPlatformSession::SelectFile(std::size_t index) {
    current_ = index;
    alternatives_.clear();
    alternative_ = 0;
    if (index >= files_.size()) return;
    vzCTokenList tokens;
    tokens.Split(files_[index].entry.url, '|');
    for (int i = 0; i < tokens.Count(); ++i) alternatives_.push_back(*tokens.At(i));
    currentUrl_ = alternatives_.empty() ? std::string() : alternatives_.front();
}

void CPlatformSession::Request(bool resetAttempts) {
    if (stopped_ || current_ >= files_.size()) return;
    std::uint32_t budget = speedFlag_ ? kFastBudget : kNormalBudget;
    if (resetAttempts) attempts_ = 0;
    SessionFile& file = files_[current_];
    if (!OpenFile(file)) {
        Fail("[OstrelLib] WriteFileOpen Failed : %s");
        return;
    }
    std::int64_t known = knownSizes_[current_];
    if (known >= 0 && file.entry.bytesOnDisk > known && !RestartFile()) {
        Fail("[OstrelLib] WriteFileOpen Failed : %s");
        return;
    }
    requestedOffset_ = file.entry.bytesOnDisk;
    char range[48];
    std::snprintf(range, sizeof range, "bytes=%" PRId64 "-", requestedOffset_);
    if (connection_) return;
    HttpConnectionSettings settings;
    settings.actionType = 5;
    settings.connectTimeoutSeconds = settings.idleTimeoutSeconds = kTimeoutSeconds;
    settings.pacedActionType = 6;
    settings.receiveRate = budget;
    settings.carry = &budgetCarry_;
    if (!OpenHttpConnection(connection_, settings, this, currentUrl_, {{"Range", range}})) {
        Fail("[OstrelLib] TryMax Over : %s");
        return;
    }
    ++attempts_;
}

bool CPlatformSession::OpenFile(SessionFile& file) {
    writeFailed_ = false;
    std::string folder = file.entry.folder;
    if (folder.back() != '/' && folder.back() != '\\') folder.push_back('/');
    plat::EnsureFolderPath(folder);
    std::string path = folder + file.entry.localName;
    CloseFile();
    if (!file_.OpenKeep(path)) {
        WriteServiceLogFormat("[OstrelLib] CreateFile Failed(%d) : %s", file_.LastError(),
                              path.c_str());
        return false;
    }
    openPath_ = path;
    std::int64_t length = file_.Size();
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

bool CPlatformSession::RestartFile() {
    SessionFile& file = files_[current_];
    if (!file_.Truncate(0)) return false;
    runningTotal_ -= file.entry.bytesOnDisk + file.entry.bytesWritten;
    file.entry.bytesOnDisk = 0;
    file.entry.bytesWritten = 0;
    requestedOffset_ = 0;
    return true;
}

void CPlatformSession::Fail(const std::string& logFormat) {
    WriteServiceLogFormat(logFormat.c_str(), currentUrl_.c_str());
    stopped_ = true;
    if (listener_) listener_->OnSessionFailed(context_, currentUrl_);
}

void CPlatformSession::CloseConnection() {
    if (connection_) (void)connection_.As<vzIQoSContext>()->Close();  // a close always completes
}

void CPlatformSession::OnHeaderReceived(std::uint32_t) {
    if (current_ >= files_.size()) return;
    SessionFile& file = files_[current_];
    vzIHttpClientExLayer* layer = HttpLayerOf(connection_);
    int status = 0;
    std::int64_t length = 0;
    // The getters leave 0 when the head has no such value.
    (void)layer->GetStatusCode(&status);
    (void)layer->GetContentLength(&length);
    std::int64_t known = knownSizes_[current_];

    if (status == 200) {
        // The whole file. When it is exactly what is on disk, it is complete.
        if (length > 0 && length == file.entry.bytesOnDisk) {
            NextFile();
            return;
        }
        if (file.entry.bytesOnDisk > 0 && !RestartFile()) {
            CloseConnection();
            return;
        }
        file.entry.remoteSize = length;
        return;
    }
    if (status == 206) {
        std::string contentRange;
        std::int64_t first = -1, total = -1;
        if (vzFailed(layer->GetHeader("Content-Range", &contentRange)) ||
            !ParseContentRange(contentRange, &first, &total) || first != requestedOffset_) {
            // Not the part we asked for: start the file over from byte 0.
            DropHttpConnection(connection_, budgetCarry_);
            CloseFile();
            if (OpenFile(file) && RestartFile())
                Request(false);
            else
                Fail("[OstrelLib] WriteFileOpen Failed : %s");
            return;
        }
        file.entry.remoteSize = total >= 0 ? total : requestedOffset_ + length;
        return;
    }
    if (status == 302 || status == 303) {
        std::string location;
        (void)layer->GetHeader("Location:", &location);  // "" without one, refused below
        location = ResolveLocation(currentUrl_, FromUtf8(location));
        DropHttpConnection(connection_, budgetCarry_);
        CloseFile();
        if (!location.empty()) {
            currentUrl_ = location;
            Request(true);
        } else {
            Fail("[OstrelLib] eNWHSC_HTTP_SEEOTHER  : %s");
        }
        return;
    }
    if (status == 416) {
        std::string contentRange;
        std::int64_t first = -1, total = -1;
        if (vzSucceeded(layer->GetHeader("Content-Range", &contentRange)))
            ParseContentRange(contentRange, &first, &total);
        std::int64_t size = known >= 0 ? known : total;
        if (size >= 0 && file.entry.bytesOnDisk == size) {
            file.entry.remoteSize = size;
            NextFile();
            return;
        }
        // What is on disk is not this file: start it over.
        DropHttpConnection(connection_, budgetCarry_);
        if (RestartFile())
            Request(false);
        else
            Fail("[OstrelLib] WriteFileOpen Failed : %s");
        return;
    }
    CloseConnection();  // the closed event runs the retry
}

std::int32_t CPlatformSession::OnBodyData(std::uint32_t, const void* data, std::int32_t length) {
    if (current_ >= files_.size() || !file_.IsOpen() || writeFailed_) {
        if (listener_) listener_->OnProgress(context_);
        return length;
    }
    SessionFile& file = files_[current_];
    if (!file_.Append(data, static_cast<std::size_t>(length))) {
        // A short or failed write would leave a hole in the file: stop here
        // rather than report a damaged file as complete.
        writeFailed_ = true;
        stopped_ = true;
        DropHttpConnection(connection_);
        CloseFile();
        if (listener_) listener_->OnError(context_, kResultBadUrl, currentUrl_);
        return length;
    }
    file.entry.bytesWritten += length;
    file.runWritten += length;
    runningTotal_ += length;
    if (listener_) listener_->OnProgress(context_);
    return length;
}

void CPlatformSession::OnComplete(std::uint32_t) {
    NextFile();
}

void CPlatformSession::NextFile() {
    CloseFile();
    DropHttpConnection(connection_, budgetCarry_);
    std::size_t finished = current_;
    SessionFile& done = files_[finished];
    if (done.entry.remoteSize <= 0)
        done.entry.remoteSize = done.entry.bytesOnDisk + done.entry.bytesWritten;
    done.entry.state = 2;
    SelectFile(finished + 1);
    if (listener_) listener_->OnFileCompleted(context_, files_[finished]);
    if (!listener_) return;
    if (current_ < files_.size())
        Request(true);
    else
        listener_->OnSessionComplete(context_);
}

void CPlatformSession::OnClosed(std::uint32_t) {
    Retry();
}

void CPlatformSession::Retry() {
    DropHttpConnection(connection_, budgetCarry_);
    CloseFile();
    if (stopped_ || current_ >= files_.size()) return;
    if (attempts_ >= kAttemptsPerUrl) {
        ++alternative_;
        attempts_ = 0;
        if (alternative_ >= alternatives_.size()) {
            Fail("[OstrelLib] TryMax Over : %s");
            return;
        }
        currentUrl_ = alternatives_[alternative_];
    }
    Request(false);
}

void CPlatformSession::OnConnectFailed(std::uint32_t) {
    CloseConnection();
}

void CPlatformSession::OnIdleTimeout(std::uint32_t) {
    CloseConnection();
}
