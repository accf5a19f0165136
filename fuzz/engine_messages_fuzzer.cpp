// The engine link's incoming side: the frames the engine sends, cut out of
// the byte stream by the layer's dispatcher (engine/local_client_layer.h)
// and decoded by the codec (engine/local_protocol.h), as a hostile or
// broken local program could send them.
//
// Input: a read script (fuzz/support/read_script.h); the stream is what the
// engine sends. Each read is appended to what the connection holds, and the
// layer is handed the whole held buffer until it takes nothing more, as the
// connection does; a negative answer ends the connection. The stream is
// also handed to every decoder directly.
//
// Checks: the layer never takes more than it was given; decoded texts end
// inside the payload (they hold no zero byte); a progress report's first
// record is only there when the payload holds it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "engine/local_client_layer.h"
#include "engine/local_protocol.h"
#include "fuzz/support/read_script.h"

namespace {

class Listener final : public nwICDNLocalClientEventListener {
public:
    void OnConnected(std::uint32_t) override {}
    void OnJobAccepted(const JobAccepted&, std::uint32_t) override {}
    void OnJobFailed(const JobFailed& r, std::uint32_t) override { Text(r.text); }
    void OnProgressReport(const ProgressReport&, std::uint32_t) override {}
    void OnFileDone(const FileDone& r, std::uint32_t) override { Done(r); }
    void OnFileDoneAt(const FileDone& r, std::uint32_t) override { Done(r); }
    void OnJobEnded(const JobEnded&, std::uint32_t) override {}
    void OnJobState(const JobStateRecord&, std::uint32_t) override {}
    void OnNetworkLost(std::uint32_t) override {}
    void OnNetworkRestored(std::uint32_t) override {}
    void OnClosed(std::uint32_t) override {}
    void OnConnectFailed(std::uint32_t) override {}
    void OnResumeQuestion(std::uint32_t) override {}

private:
    static void Text(const std::string& text) { FUZZ_CHECK(text.find('\0') == std::string::npos); }
    static void Done(const FileDone& r) {
        Text(r.path);
        Text(r.url);
        Text(r.storedPath);
    }
};

void DecodeAll(const std::uint8_t* data, std::size_t size) {
    JobAccepted accepted;
    (void)DecodeJobAccepted(data, size, &accepted);
    ProgressReport progress;
    if (DecodeProgressReport(data, size, &progress) && progress.hasFirstRecord)
        FUZZ_CHECK(size >= 64 + 65);
    JobEnded ended;
    (void)DecodeJobEnded(data, size, &ended);
    for (bool at : {false, true}) {
        FileDone done;
        if (DecodeFileDone(data, size, at, &done)) {
            FUZZ_CHECK(done.path.size() < size);
            FUZZ_CHECK(done.path.find('\0') == std::string::npos);
        }
    }
    JobStateRecord state;
    (void)DecodeJobState(data, size, &state);
}

}  // namespace

// The service log goes nowhere: a fuzz run must not fill a real one.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setenv("XDG_DATA_HOME", "/nonexistent/zk4-fuzz", 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const FuzzReadScript script(data, size);
    DecodeAll(reinterpret_cast<const std::uint8_t*>(script.Stream().data()),
              script.Stream().size());

    Listener listener;
    auto* layer = new nwCCDNLocalClientLayer();
    (void)layer->AddRef();
    (void)layer->SetListener(&listener, 0);
    std::string held;
    bool open = true;
    for (std::string_view read : script.Reads()) {
        if (!open) break;
        held.append(read);
        for (;;) {
            // An exact copy, so that any read past what is held is caught.
            std::string exact = held;
            const std::int32_t taken =
                layer->OnReceive(exact.data(), static_cast<std::int32_t>(exact.size()));
            if (taken < 0) {
                open = false;
                break;
            }
            FUZZ_CHECK(static_cast<std::size_t>(taken) <= held.size());
            if (taken == 0) break;
            held.erase(0, static_cast<std::size_t>(taken));
        }
    }
    (void)layer->SetListener(nullptr, 0);
    (void)layer->Release();
    return 0;
}
