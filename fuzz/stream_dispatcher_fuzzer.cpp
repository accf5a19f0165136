// The frame dispatcher (transport/stream_dispatcher.h, transport/frame.h)
// under the report channel's layer (http/agent_layer.h): the real layer on
// a connection without a socket, its input cut into reads where the fuzzer
// chooses (fuzz/support/read_script.h).
//
// The frames are also walked here, from the wire layout, as the layer is
// to read them: whole frames one after another, a reply (type 0x300,
// subtype 0x83) gives OnReply with its first payload byte, any other frame
// or a header announcing more than kFrameMaxPayload ends the connection,
// and an incomplete frame waits. The layer must give exactly those replies
// and end (or not) exactly there, wherever the reads were cut.
//
// Settings byte: bit 0 the listener closes the connection on the first
// reply; bit 1 on OnConnected it sends a report (what goes down must be a
// well-formed frame).
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/support/read_script.h"
#include "fuzz/support/scripted_connection.h"
#include "http/agent_layer.h"
#include "transport/frame.h"

namespace {

struct Outcome {
    std::vector<std::uint8_t> replies;
    bool closedByInput = false;
    bool operator==(const Outcome&) const = default;
};

class Listener final : public nwIAgentListener {
public:
    Listener(std::uint8_t settings, Outcome* out) : settings_(settings), out_(out) {}
    void Attach(nwCAgentLayer* layer, FuzzConnection* connection) {
        layer_ = layer;
        connection_ = connection;
        (void)layer_->SetListener(this, 3);  // storing cannot fail
    }

    void OnConnected(std::uint32_t value) override {
        Event(value);
        if (settings_ & 2) {
            std::vector<std::uint8_t> records(2 * kAgentRecordSize, 0x5A);
            FUZZ_CHECK(vzSucceeded(layer_->SendReport({2, records.data()})));
        }
    }
    void OnReply(std::uint32_t value, std::uint8_t code) override {
        Event(value);
        out_->replies.push_back(code);
        if (settings_ & 1) (void)connection_->Close();  // a close always completes
    }
    void OnClosed(std::uint32_t value) override {
        Event(value);
        closed_ = true;
    }
    void OnConnectFailed(std::uint32_t value) override { Event(value); }
    void OnIdleTimeout(std::uint32_t value) override { Event(value); }

private:
    void Event(std::uint32_t value) {
        FUZZ_CHECK(value == 3);
        FUZZ_CHECK(!closed_);
    }

    std::uint8_t settings_;
    Outcome* out_;
    nwCAgentLayer* layer_ = nullptr;
    FuzzConnection* connection_ = nullptr;
    bool closed_ = false;
};

Outcome Run(std::uint8_t settings, const std::vector<std::string_view>& reads) {
    Outcome outcome;
    Listener listener(settings, &outcome);
    auto* layer = new nwCAgentLayer;
    FuzzConnection connection(layer->AsOwnInterface(), layer->AsNetStack());
    listener.Attach(layer, &connection);
    connection.Connected();
    for (std::string_view read : reads)
        if (!connection.Receive(read)) break;
    // A report sent down is one frame: header, count, records, padding.
    if (settings & 2) {
        const std::string& sent = connection.Sent();
        FUZZ_CHECK(sent.size() == nwPaddedFrameSize(4 + 2 * kAgentRecordSize));
        const nwFrameHeader header = nwReadFrameHeader(sent.data());
        FUZZ_CHECK(header.type == kAgentMessageType && header.subtype == kAgentReportSubtype);
        FUZZ_CHECK(header.payloadLength == sent.size() - kFrameHeaderSize);
        FUZZ_CHECK(sent[kFrameHeaderSize] == 2);
    }
    outcome.closedByInput = connection.ClosedByInput();
    if (!connection.IsClosed()) {
        // What waits is the start of one frame, never a whole one.
        FUZZ_CHECK(connection.Held() < kFrameHeaderSize + kFrameMaxPayload);
    }
    connection.PeerClosed();
    return outcome;
}

// The same stream walked from the wire layout.
Outcome Expected(std::uint8_t settings, std::string_view stream) {
    Outcome outcome;
    const auto* p = reinterpret_cast<const std::uint8_t*>(stream.data());
    std::size_t left = stream.size();
    while (left >= kFrameHeaderSize) {
        const std::uint16_t type = static_cast<std::uint16_t>(p[0] | p[1] << 8);
        const std::uint16_t subtype = static_cast<std::uint16_t>(p[2] | p[3] << 8);
        const std::uint32_t length =
            static_cast<std::uint32_t>(p[10]) | static_cast<std::uint32_t>(p[11]) << 8 |
            static_cast<std::uint32_t>(p[12]) << 16 | static_cast<std::uint32_t>(p[13]) << 24;
        if (length > kFrameMaxPayload) {
            outcome.closedByInput = true;
            break;
        }
        if (length > left - kFrameHeaderSize) break;  // waits for the rest
        if (type != kAgentMessageType || subtype != kAgentReplySubtype) {
            outcome.closedByInput = true;
            break;
        }
        outcome.replies.push_back(length > 0 ? p[kFrameHeaderSize] : 0);
        if (settings & 1) break;  // the listener closed
        p += kFrameHeaderSize + length;
        left -= kFrameHeaderSize + length;
    }
    return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const FuzzReadScript script(data, size);
    const Outcome cut = Run(script.Settings(), script.Reads());
    FUZZ_CHECK(cut == Expected(script.Settings(), script.Stream()));
    return 0;
}
