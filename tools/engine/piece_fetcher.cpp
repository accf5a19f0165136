#include "piece_fetcher.h"

#include <sys/select.h>

#include "curl_policy.h"
#include "engine_log.h"
#include "transfer_policy.h"

namespace engine {
namespace {

constexpr long kConnectTimeoutSeconds = 15;

}  // namespace

struct PieceFetcher::Fetch {
    FetchId id = 0;
    PieceFetcher* owner = nullptr;
    CURL* easy = nullptr;
    std::int64_t length = 0;
    std::vector<char> body;
    bool overrun = false;
    char error[CURL_ERROR_SIZE] = {};
};

PieceFetcher::PieceFetcher(EngineLog* log) : log_(log), multi_(curl_multi_init()) {}

PieceFetcher::~PieceFetcher() {
    for (auto& [id, fetch] : fetches_) {
        curl_multi_remove_handle(multi_, fetch->easy);
        curl_easy_cleanup(fetch->easy);
    }
    if (multi_) curl_multi_cleanup(multi_);
}

PieceFetcher::FetchId PieceFetcher::Start(const std::string& url, std::int64_t first,
                                          std::int64_t length, std::int64_t fileSize,
                                          std::int64_t maxBytesPerSecond) {
    const FetchId id = nextId_++;
    CURL* easy = multi_ && length > 0 ? curl_easy_init() : nullptr;
    if (!easy) {
        finished_.push_back({id, false, {}, "cannot start a request"});
        return id;
    }
    auto fetch = std::make_unique<Fetch>();
    fetch->id = id;
    fetch->owner = this;
    fetch->easy = easy;
    fetch->length = length;
    fetch->body.reserve(static_cast<std::size_t>(length));
    curl_easy_setopt(easy, CURLOPT_PRIVATE, fetch.get());
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    ApplyCurlPolicy(easy, kConnectTimeoutSeconds, fetch->error);
    // The whole file needs no range: a server without ranges serves it too.
    if (!(first == 0 && length == fileSize)) {
        const std::string range = std::to_string(first) + "-" + std::to_string(first + length - 1);
        curl_easy_setopt(easy, CURLOPT_RANGE, range.c_str());
    }
    curl_easy_setopt(easy, CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, transfer_policy::kLowSpeedBytes);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, transfer_policy::kLowSpeedSeconds);
    if (maxBytesPerSecond > 0)
        curl_easy_setopt(easy, CURLOPT_MAX_RECV_SPEED_LARGE,
                         static_cast<curl_off_t>(maxBytesPerSecond));
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &PieceFetcher::Write);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, fetch.get());
    if (curl_multi_add_handle(multi_, easy) != CURLM_OK) {
        curl_easy_cleanup(easy);
        finished_.push_back({id, false, {}, "cannot start a request"});
        return id;
    }
    fetches_.emplace(id, std::move(fetch));
    return id;
}

void PieceFetcher::Cancel(FetchId id) {
    auto it = fetches_.find(id);
    if (it != fetches_.end()) {
        curl_multi_remove_handle(multi_, it->second->easy);
        curl_easy_cleanup(it->second->easy);
        fetches_.erase(it);
    }
    std::erase_if(finished_, [id](const Result& r) { return r.id == id; });
}

std::int64_t PieceFetcher::TakeReceived() {
    const std::int64_t received = received_;
    received_ = 0;
    return received;
}

size_t PieceFetcher::Write(char* data, size_t size, size_t count, void* self) {
    auto* fetch = static_cast<Fetch*>(self);
    const size_t length = size * count;
    if (static_cast<std::int64_t>(fetch->body.size() + length) > fetch->length) {
        // More than the piece: not the range asked for.
        fetch->overrun = true;
        return 0;
    }
    fetch->body.insert(fetch->body.end(), data, data + length);
    fetch->owner->received_ += static_cast<std::int64_t>(length);
    return length;
}

void PieceFetcher::Finish(Fetch* fetch, CURLcode result) {
    long code = 0;
    curl_easy_getinfo(fetch->easy, CURLINFO_RESPONSE_CODE, &code);
    Result out;
    out.id = fetch->id;
    const bool whole = static_cast<std::int64_t>(fetch->body.size()) == fetch->length;
    if (fetch->overrun) {
        out.why = "HTTP " + std::to_string(code) + " with more than the piece (no ranges?)";
    } else if (result != CURLE_OK) {
        out.why = fetch->error[0] ? fetch->error : curl_easy_strerror(result);
    } else if ((code != 206 && code != 200) || !whole) {
        out.why = "HTTP " + std::to_string(code) + " with " + std::to_string(fetch->body.size()) +
                  " of " + std::to_string(fetch->length) + " bytes";
    } else {
        out.ok = true;
        out.bytes = std::move(fetch->body);
    }
    curl_multi_remove_handle(multi_, fetch->easy);
    curl_easy_cleanup(fetch->easy);
    finished_.push_back(std::move(out));
    fetches_.erase(fetch->id);
}

void PieceFetcher::AddPollFds(std::vector<pollfd>* fds, int* timeoutMs) {
    if (!finished_.empty()) *timeoutMs = 0;
    if (!multi_ || fetches_.empty()) return;
    fd_set readSet, writeSet, errorSet;
    FD_ZERO(&readSet);
    FD_ZERO(&writeSet);
    FD_ZERO(&errorSet);
    int maxFd = -1;
    curl_multi_fdset(multi_, &readSet, &writeSet, &errorSet, &maxFd);
    for (int fd = 0; fd <= maxFd; ++fd) {
        short events = 0;
        if (FD_ISSET(fd, &readSet)) events |= POLLIN;
        if (FD_ISSET(fd, &writeSet)) events |= POLLOUT;
        if (events) fds->push_back({fd, events, 0});
    }
    long due = -1;
    curl_multi_timeout(multi_, &due);
    // No socket yet (a name being resolved): look again soon.
    if (maxFd < 0 && (due < 0 || due > 50)) due = 50;
    if (due >= 0 && due < *timeoutMs) *timeoutMs = static_cast<int>(due);
}

void PieceFetcher::Poll() {
    if (!multi_ || fetches_.empty()) return;
    int running = 0;
    curl_multi_perform(multi_, &running);
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi_, &left)) {
        if (message->msg != CURLMSG_DONE) continue;
        void* tag = nullptr;
        curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &tag);
        Finish(static_cast<Fetch*>(tag), message->data.result);
    }
}

std::vector<PieceFetcher::Result> PieceFetcher::TakeFinished() {
    std::vector<Result> out = std::move(finished_);
    finished_.clear();
    return out;
}

}  // namespace engine
