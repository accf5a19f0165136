// TLXDownloadV32.exe: the download engine that the service starts and talks
// to over 127.0.0.1 (port 38006, or TLX_ENGINE_PORT). It takes job
// descriptions from the service, fetches the files peer to peer when the
// publisher describes them and the player agreed (else over HTTP/HTTPS),
// with resumable partial files, and reports acceptance, progress, finished files
// and the end of each job. It ends on SIGTERM/SIGINT and after
// TLX_ENGINE_IDLE_EXIT seconds (default 30) without a connection.
//
//   TLXDownloadV32.exe            run (the service starts it so)
//   TLXDownloadV32.exe --version  print the version and end
//
// Its log is config/engine.log beside the executable. TLX_ENGINE_FAULT
// switches on deliberate misbehaviour for tests (engine_config.h).
#include <curl/curl.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "curl_backend.h"
#if ZK4_ENGINE_PEERS
#include "peer_config.h"
#include "routing_backend.h"
#include "torrent_backend.h"
#endif
#include "engine_config.h"
#include "engine_log.h"
#include "engine_server.h"
#include "version_note.h"

namespace {

constexpr std::size_t kMaxLogBytes = 4u * 1024 * 1024;

int g_stopWriteFd = -1;

void OnStopSignal(int) {
    const char byte = 1;
    [[maybe_unused]] ssize_t n = write(g_stopWriteFd, &byte, 1);
}

bool InstallSignals(int writeFd) {
    g_stopWriteFd = writeFd;
    struct sigaction stop {};
    stop.sa_handler = OnStopSignal;
    sigemptyset(&stop.sa_mask);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    // Whoever started us may have blocked these; we must hear them.
    sigset_t unblock;
    sigemptyset(&unblock);
    sigaddset(&unblock, SIGTERM);
    sigaddset(&unblock, SIGINT);
    sigprocmask(SIG_UNBLOCK, &unblock, nullptr);
    return sigaction(SIGTERM, &stop, nullptr) == 0 && sigaction(SIGINT, &stop, nullptr) == 0 &&
           sigaction(SIGPIPE, &ignore, nullptr) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("%s\n", engine::EngineVersion());
        return 0;
    }
#ifdef __GLIBC__
    // A peer transfer allocates and frees 16 KiB blocks at the network's
    // rate; glibc's sliding mmap threshold kept up to 90 MiB of them after
    // a 1 GiB transfer. A fixed threshold lets the heap shrink back.
    mallopt(M_MMAP_THRESHOLD, 256 * 1024);
#endif
    // Lines are held until the port is ours: an engine that finds another
    // one listening adds its lines to that one's log instead of emptying it.
    engine::EngineLog log;
    const std::string logPath = engine::DefaultLogPath(argc > 0 ? argv[0] : nullptr);
    log.Line("TLXDownloadV32 %s starting", engine::EngineVersion());
    if (argc > 1) log.Line("Ignoring %d command-line arguments", argc - 1);

    const engine::EngineConfig config = engine::ReadEngineConfig();
    for (const std::string& problem : config.problems) log.Line("%s", problem.c_str());
    if (config.faults.Any()) log.Line("Fault switches: %s", std::getenv("TLX_ENGINE_FAULT"));

    int stopPipe[2];
    if (pipe2(stopPipe, O_NONBLOCK | O_CLOEXEC) != 0 || !InstallSignals(stopPipe[1])) {
        log.Line("Cannot set up signal handling");
        return 1;
    }
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
        log.Line("Cannot initialise libcurl");
        return 1;
    }
    int code = 1;
    {
        engine::CurlBackend http(&log);
        engine::ITransferBackend* backend = &http;
        bool ready = http.Ready();
#if ZK4_ENGINE_PEERS
        // Files with the publisher's metadata go peer to peer, the rest by
        // HTTP. Declared after `http` so that it ends first.
        const engine::PeerConfig peerConfig = engine::ReadPeerConfig();
        for (const std::string& problem : peerConfig.problems) log.Line("%s", problem.c_str());
        engine::TorrentBackend peers(peerConfig, &log);
        engine::RoutingBackend routing(&http, &peers, &log);
        if (peers.Ready()) {
            backend = &routing;
            ready = ready && routing.Ready();
        } else {
            log.Line("Fetching by HTTP only");
        }
#endif
        engine::EngineServer server(config, &log, backend, stopPipe[0]);
        if (!ready) {
            log.Line("Cannot create the transfer back end");
        } else if (server.Listen()) {
            [[maybe_unused]] const bool logged = log.Open(logPath, kMaxLogBytes, true);
            code = server.Run();
        }
    }
    curl_global_cleanup();
    log.Line("Ended with code %d", code);
    // Never held the port: the lines go after whatever the log holds.
    [[maybe_unused]] const bool logged = log.Open(logPath, kMaxLogBytes, false);
    return code;
}
