// The HTTP client layer reading a server's answer: the real layer on a
// connection without a socket (fuzz/support/scripted_connection.h), its
// input cut into reads where the fuzzer chooses (fuzz/support/read_script.h),
// and a listener that behaves like the sessions do: it may take fewer bytes
// than offered, accept a chunked body or not, and drop the connection from
// inside its events.
//
// Besides crashes it checks what the layer promises its listeners: events
// in order and none after OnClosed, never more body than Content-Length,
// OnComplete exactly when that length is reached, a Content-Length that is
// what the head says, and an outcome that does not depend on where the
// reads were cut (the same input as one read gives the same events, body
// and head).
//
// Settings byte: bit 0 accept a chunked body; bits 1-2 the most the listener
// takes per event (all, 1, 7 bytes, or it refuses with -1); bits 3-4 when it drops the
// connection (never, on OnComplete, on OnHeaderReceived, after N body
// bytes); bits 5-7 pick N.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/support/read_script.h"
#include "fuzz/support/scripted_connection.h"
#include "http/http_client_layer.h"
#include "http/http_response_head.h"

namespace {

enum class Drop { kNever, kOnComplete, kOnHeader, kAfterBytes };

// The listener answers OnBodyData with -1, which must close the connection.
constexpr std::int32_t kRefuse = -1;

struct Behaviour {
    bool acceptChunked = false;
    std::int32_t takeAtMost = 0;  // 0: everything offered
    Drop drop = Drop::kNever;
    std::int64_t dropAfter = 0;

    explicit Behaviour(std::uint8_t settings) {
        static constexpr std::int32_t kTakes[] = {0, 1, 7, kRefuse};
        static constexpr std::int64_t kDropAfter[] = {1, 2, 5, 10, 64, 100, 1000, 4096};
        acceptChunked = settings & 1;
        takeAtMost = kTakes[(settings >> 1) & 3];
        drop = static_cast<Drop>((settings >> 3) & 3);
        dropAfter = kDropAfter[(settings >> 5) & 7];
    }
};

// What one run produced; two runs of the same stream must agree on all of it.
struct Outcome {
    std::vector<std::string> events;  // consecutive "body" events merged
    std::string body;
    std::string rawHead;
    std::string request;
    int status = 0;
    std::int64_t contentLength = 0;
    int framing = -1;
    bool complete = false;
    bool closedByInput = false;

    bool operator==(const Outcome&) const = default;
};

bool IsDigits(std::string_view text) {
    if (text.empty()) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

std::string_view Trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
        text.remove_suffix(1);
    return text;
}

// Every Content-Length line of the head as it came over the wire must be
// plain digits naming the length the layer uses.
void CheckContentLengthLines(const std::string& raw, std::int64_t length) {
    std::string_view rest = raw;
    while (!rest.empty()) {
        const std::size_t lf = rest.find('\n');
        std::string_view line = rest.substr(0, lf);
        rest = lf == std::string_view::npos ? std::string_view() : rest.substr(lf + 1);
        static constexpr std::string_view kName = "content-length:";
        if (line.size() < kName.size()) continue;
        bool named = true;
        for (std::size_t i = 0; i < kName.size(); ++i) {
            char c = line[i];
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
            if (c != kName[i]) named = false;
        }
        if (!named) continue;
        const std::string_view value = Trimmed(line.substr(kName.size()));
        FUZZ_CHECK(IsDigits(value));
        std::int64_t parsed = 0;
        for (char c : value) {
            FUZZ_CHECK(parsed <= (INT64_MAX - (c - '0')) / 10);
            parsed = parsed * 10 + (c - '0');
        }
        FUZZ_CHECK(parsed == length);
    }
}

class Listener final : public nwIHttpClientExEventListener {
public:
    Listener(const Behaviour& behaviour, Outcome* outcome) : b_(behaviour), out_(outcome) {}

    void Attach(nwCHttpClientExLayer* layer, FuzzConnection* connection) {
        layer_ = layer;
        connection_ = connection;
        (void)layer_->SetListener(this, 7);  // storing cannot fail
        if (b_.acceptChunked) (void)layer_->AcceptChunkedBody();
    }
    bool Dropped() const { return dropped_; }
    bool Refused() const { return refused_; }
    std::int64_t Delivered() const { return delivered_; }

    void OnConnected(std::uint32_t value) override {
        Event(value, "connected");
        FUZZ_CHECK(out_->events.size() == 1);
    }
    void OnHeaderReceived(std::uint32_t value) override {
        Event(value, "header");
        FUZZ_CHECK(!headerSeen_);
        headerSeen_ = true;
        (void)layer_->GetStatusCode(&out_->status);            // always succeeds
        (void)layer_->GetContentLength(&out_->contentLength);  // always succeeds
        (void)layer_->GetBodyFraming(&out_->framing);          // a non-null out succeeds
        FUZZ_CHECK(vzSucceeded(layer_->GetRawHeader(&out_->rawHead)));
        // Three digits; interim heads never reach the listener. (Codes
        // outside 100-599 are the sessions' to refuse by their status rules.)
        FUZZ_CHECK(out_->status >= 0 && out_->status <= 999);
        FUZZ_CHECK(out_->status < 100 || out_->status >= 200);
        FUZZ_CHECK(out_->contentLength >= 0);
        const auto framing = static_cast<HttpBodyFraming>(out_->framing);
        if (framing == HttpBodyFraming::kLength) {
            FUZZ_CHECK(out_->contentLength > 0);
            CheckContentLengthLines(out_->rawHead, out_->contentLength);
        } else {
            FUZZ_CHECK(out_->contentLength == 0);
        }
        // The head ends with its empty line.
        const std::string& raw = out_->rawHead;
        FUZZ_CHECK(raw.size() >= 2 && raw.back() == '\n');
        FUZZ_CHECK(raw.compare(0, 5, "HTTP/") == 0);
        if (b_.drop == Drop::kOnHeader) DropConnection();
    }
    std::int32_t OnBodyData(std::uint32_t value, const void* data, std::int32_t length) override {
        Event(value, "body");
        FUZZ_CHECK(headerSeen_ && !completeSeen_);
        FUZZ_CHECK(length > 0);
        if (b_.takeAtMost == kRefuse) {
            refused_ = true;
            return -1;
        }
        std::int32_t take = length;
        if (b_.takeAtMost > 0 && take > b_.takeAtMost) take = b_.takeAtMost;
        if (b_.drop == Drop::kAfterBytes && take > b_.dropAfter - delivered_)
            take = static_cast<std::int32_t>(b_.dropAfter - delivered_);
        out_->body.append(static_cast<const char*>(data), static_cast<std::size_t>(take));
        delivered_ += take;
        if (static_cast<HttpBodyFraming>(out_->framing) == HttpBodyFraming::kLength)
            FUZZ_CHECK(delivered_ <= out_->contentLength);
        if (b_.drop == Drop::kAfterBytes && delivered_ >= b_.dropAfter) DropConnection();
        return take;
    }
    void OnComplete(std::uint32_t value) override {
        Event(value, "complete");
        FUZZ_CHECK(headerSeen_ && !completeSeen_);
        completeSeen_ = true;
        const auto framing = static_cast<HttpBodyFraming>(out_->framing);
        FUZZ_CHECK(framing == HttpBodyFraming::kLength || framing == HttpBodyFraming::kChunked);
        if (framing == HttpBodyFraming::kLength) FUZZ_CHECK(delivered_ == out_->contentLength);
        if (framing == HttpBodyFraming::kChunked) FUZZ_CHECK(b_.acceptChunked);
        bool complete = false;
        (void)layer_->GetResponseComplete(&complete, nullptr);  // always succeeds
        FUZZ_CHECK(complete);
        if (b_.drop == Drop::kOnComplete) DropConnection();
    }
    void OnSendReady(std::uint32_t value) override { Event(value, "send-ready"); }
    void OnClosed(std::uint32_t value) override {
        Event(value, "closed");
        closedSeen_ = true;
    }
    void OnConnectFailed(std::uint32_t value) override { Event(value, "connect-failed"); }
    void OnIdleTimeout(std::uint32_t value) override { Event(value, "idle"); }
    void OnHostUnreachable(std::uint32_t value) override { Event(value, "unreachable"); }

private:
    void Event(std::uint32_t value, const char* name) {
        FUZZ_CHECK(value == 7);
        FUZZ_CHECK(!closedSeen_ && !dropped_);
        if (out_->events.empty() || out_->events.back() != name || std::string_view(name) != "body")
            out_->events.emplace_back(name);
    }
    // What the sessions do (transfers/connection_recipe.h): forget the
    // listener, then close.
    void DropConnection() {
        dropped_ = true;
        (void)layer_->SetListener(nullptr, 0);  // storing cannot fail
        (void)connection_->Close();             // a close always completes
    }

    Behaviour b_;
    Outcome* out_;
    nwCHttpClientExLayer* layer_ = nullptr;
    FuzzConnection* connection_ = nullptr;
    std::int64_t delivered_ = 0;
    bool headerSeen_ = false;
    bool completeSeen_ = false;
    bool closedSeen_ = false;
    bool dropped_ = false;
    bool refused_ = false;
};

Outcome Run(const Behaviour& behaviour, const std::vector<std::string_view>& reads) {
    Outcome outcome;
    Listener listener(behaviour, &outcome);
    auto* layer = new nwCHttpClientExLayer;
    FuzzConnection connection(layer->AsOwnInterface(), layer->AsNetStack());
    listener.Attach(layer, &connection);
    FUZZ_CHECK(vzSucceeded(layer->Get()));
    connection.Connected();
    for (std::string_view read : reads)
        if (!connection.Receive(read)) break;
    if (!connection.IsClosed()) {
        bool complete = false, reusable = false;
        (void)layer->GetResponseComplete(&complete, &reusable);  // always succeeds
        FUZZ_CHECK(!reusable || complete);
        // A connection the layer keeps holds at most what no one consumed.
        FUZZ_CHECK(connection.Held() <= FuzzConnection::kMaxUnconsumed);
    }
    bool complete = false;
    (void)layer->GetResponseComplete(&complete, nullptr);  // always succeeds
    outcome.complete = complete;
    const auto framing = static_cast<HttpBodyFraming>(outcome.framing);
    if (!listener.Dropped() && framing == HttpBodyFraming::kLength &&
        listener.Delivered() == outcome.contentLength)
        FUZZ_CHECK(complete);
    outcome.closedByInput = connection.ClosedByInput();
    if (listener.Refused()) FUZZ_CHECK(outcome.closedByInput);
    connection.PeerClosed();
    outcome.request = connection.Sent();
    FUZZ_CHECK(outcome.request.compare(0, 6, "GET / ") == 0);
    return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const FuzzReadScript script(data, size);
    const Behaviour behaviour(script.Settings());
    const Outcome cut = Run(behaviour, script.Reads());
    std::vector<std::string_view> whole;
    if (!script.Stream().empty()) whole.push_back(script.Stream());
    const Outcome once = Run(behaviour, whole);
    // Where the reads were cut must not change what the listener sees.
    FUZZ_CHECK(cut == once);
    return 0;
}
