#include "metadata_lookup.h"

#include <sys/select.h>

#include <cstdlib>

#include "curl_policy.h"
#include "engine_log.h"

namespace engine {
namespace {

constexpr long kConnectTimeoutSeconds = 10;
// Metadata is small; a server that takes longer than this for it is not
// one to fetch a game from by peers either.
constexpr long kTotalTimeoutSeconds = 30;

}  // namespace

struct MetadataLookup::Lookup {
    LookupId id = 0;
    std::vector<std::string> urls;
    std::size_t next = 0;  // the alternative being asked
    CURL* easy = nullptr;
    std::string body;
    bool tooLarge = false;
    char error[CURL_ERROR_SIZE] = {};
};

MetadataLookup::MetadataLookup(EngineLog* log) : log_(log), multi_(curl_multi_init()) {}

MetadataLookup::~MetadataLookup() {
    for (auto& [id, lookup] : lookups_) {
        if (lookup->easy) {
            curl_multi_remove_handle(multi_, lookup->easy);
            curl_easy_cleanup(lookup->easy);
        }
    }
    if (multi_) curl_multi_cleanup(multi_);
}

MetadataLookup::LookupId MetadataLookup::Start(const std::vector<std::string>& fileUrls) {
    auto lookup = std::make_unique<Lookup>();
    const LookupId id = nextId_++;
    lookup->id = id;
    lookup->urls = fileUrls;
    Lookup* raw = lookup.get();
    lookups_.emplace(id, std::move(lookup));
    StartAddress(raw);  // may finish (and drop) the lookup at once
    return id;
}

void MetadataLookup::Cancel(LookupId id) {
    auto it = lookups_.find(id);
    if (it != lookups_.end()) {
        if (it->second->easy) {
            curl_multi_remove_handle(multi_, it->second->easy);
            curl_easy_cleanup(it->second->easy);
        }
        lookups_.erase(it);
    }
    std::erase_if(finished_, [id](const Result& r) { return r.id == id; });
}

size_t MetadataLookup::Write(char* data, size_t size, size_t count, void* self) {
    Lookup* lookup = static_cast<Lookup*>(self);
    const size_t length = size * count;
    if (lookup->body.size() + length > kMaxMetadataBytes) {
        lookup->tooLarge = true;
        return 0;  // ends the request
    }
    lookup->body.append(data, length);
    return length;
}

void MetadataLookup::StartAddress(Lookup* lookup) {
    while (lookup->next < lookup->urls.size() && !HasHttpScheme(lookup->urls[lookup->next]))
        ++lookup->next;
    if (lookup->next >= lookup->urls.size() || !multi_) {
        finished_.push_back({lookup->id, false, "", ""});
        lookups_.erase(lookup->id);
        return;
    }
    CURL* easy = curl_easy_init();
    if (!easy) {
        finished_.push_back({lookup->id, false, "", ""});
        lookups_.erase(lookup->id);
        return;
    }
    lookup->easy = easy;
    lookup->body.clear();
    lookup->tooLarge = false;
    lookup->error[0] = '\0';
    const std::string url = lookup->urls[lookup->next] + ".torrent";
    curl_easy_setopt(easy, CURLOPT_PRIVATE, lookup);
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    // The same rules and trust store as the file transfers.
    ApplyCurlPolicy(easy, kConnectTimeoutSeconds, lookup->error);
    curl_easy_setopt(easy, CURLOPT_TIMEOUT, kTotalTimeoutSeconds);
    curl_easy_setopt(easy, CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &MetadataLookup::Write);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, lookup);
    if (curl_multi_add_handle(multi_, easy) != CURLM_OK) {
        curl_easy_cleanup(easy);
        lookup->easy = nullptr;
        finished_.push_back({lookup->id, false, "", ""});
        lookups_.erase(lookup->id);
    }
}

void MetadataLookup::AfterRequest(Lookup* lookup, CURLcode result) {
    curl_multi_remove_handle(multi_, lookup->easy);
    curl_easy_cleanup(lookup->easy);
    lookup->easy = nullptr;
    const std::string& url = lookup->urls[lookup->next];
    if (result == CURLE_OK && !lookup->body.empty()) {
        finished_.push_back({lookup->id, true, std::move(lookup->body), url});
        lookups_.erase(lookup->id);
        return;
    }
    if (lookup->tooLarge) {
        log_->Line("Metadata for %.200s is over %zu bytes; not used", url.c_str(),
                   kMaxMetadataBytes);
    } else if (result != CURLE_HTTP_RETURNED_ERROR && result != CURLE_OK) {
        log_->Line("No metadata from %.200s.torrent: %s", url.c_str(),
                   lookup->error[0] ? lookup->error : curl_easy_strerror(result));
    }
    ++lookup->next;
    StartAddress(lookup);
}

void MetadataLookup::AddPollFds(std::vector<pollfd>* fds, int* timeoutMs) {
    if (!finished_.empty()) *timeoutMs = 0;
    if (!multi_ || lookups_.empty()) return;
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

void MetadataLookup::Poll() {
    if (!multi_ || lookups_.empty()) return;
    int running = 0;
    curl_multi_perform(multi_, &running);
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi_, &left)) {
        if (message->msg != CURLMSG_DONE) continue;
        void* tag = nullptr;
        curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &tag);
        AfterRequest(static_cast<Lookup*>(tag), message->data.result);
    }
}

std::vector<MetadataLookup::Result> MetadataLookup::TakeFinished() {
    std::vector<Result> out = std::move(finished_);
    finished_.clear();
    return out;
}

}  // namespace engine
