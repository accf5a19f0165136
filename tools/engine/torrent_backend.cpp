// The one file that includes libtorrent: its headers are heavy and the
// engine's other files must build quickly.
#include "torrent_backend.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <libtorrent/add_torrent_params.hpp>
#include <libtorrent/alert_types.hpp>
#include <libtorrent/error_code.hpp>
#include <libtorrent/ip_filter.hpp>
#include <libtorrent/peer_info.hpp>
#include <libtorrent/posix_disk_io.hpp>
#include <libtorrent/session.hpp>
#include <libtorrent/session_params.hpp>
#include <libtorrent/settings_pack.hpp>
#include <libtorrent/torrent_handle.hpp>
#include <libtorrent/torrent_info.hpp>
#include <libtorrent/torrent_status.hpp>
#include <map>
#include <vector>

#include "clock.h"
#include "engine_log.h"
#include "version_note.h"

namespace engine {
namespace {

constexpr std::int64_t kSampleEveryMs = 1000;
// Peers named in the configuration are called again this often while a
// transfer runs: one that was not ready (had not added the file yet) gets
// another chance.
constexpr std::int64_t kPeerCallEveryMs = 5000;
// The file servers join as web seeds when peers have had this long and
// deliver verified data slower than the floor; players then keep them for
// what peers cannot give.
constexpr std::int64_t kPeerWindowMs = 3000;
constexpr std::int64_t kPeerFloorBytesPerSecond = 256 * 1024;
constexpr std::int64_t kUploadLineEveryMs = 10000;
// The unit peers ask for; the last one of a piece may be shorter.
constexpr std::int64_t kBlockBytes = 16 * 1024;
// libtorrent takes its rate caps as int.
constexpr std::int64_t kMaxRate = 0x7fffffff;

int AsRate(std::int64_t bytesPerSecond) {
    return static_cast<int>(std::clamp<std::int64_t>(bytesPerSecond, 0, kMaxRate));
}

std::string Folder(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "./" : path.substr(0, slash + 1);
}

std::string BaseName(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool HasHttpScheme(const std::string& url) {
    return url.rfind("http://", 0) == 0 || url.rfind("https://", 0) == 0;
}

long long PlainFileSize(const std::string& path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    return static_cast<long long>(st.st_size);
}

struct Transfer {
    enum class Phase { kWaiting, kRunning, kRenaming, kFetched, kFailed, kDiskFull };

    TransferId id = 0;
    TransferRequest request;
    ITransferListener* listener = nullptr;
    std::shared_ptr<lt::torrent_info> info;
    std::vector<std::string> webSeeds;
    lt::torrent_handle handle;
    Phase phase = Phase::kWaiting;
    std::string reason;
    std::int64_t size = 0;
    std::int64_t verified = 0;
    std::int64_t verifiedAfterCheck = -1;  // -1 while existing data is checked
    bool fromFinalName = false;            // the final file was taken back to check it
    bool alreadyThere = false;
    bool webSeedsAdded = false;
    bool peerSeen = false;
    std::int64_t startMs = 0;
    std::int64_t lastProgressMs = 0;
    std::int64_t nextPeerCallMs = 0;
    std::int64_t nextSampleMs = 0;
    std::int64_t windowStartMs = 0;
    std::int64_t windowStartVerified = 0;
    int hashFailures = 0;
    // Received blocks by the address that sent them, told apart into
    // players and file servers when the file is done.
    std::map<lt::tcp::endpoint, std::int64_t> blockBytes;
    std::vector<lt::tcp::endpoint> serverEndpoints;
    std::int64_t uploaded = 0;

    bool Terminal() const {
        return phase == Phase::kFetched || phase == Phase::kFailed || phase == Phase::kDiskFull;
    }
};

// A finished file that keeps serving other players for a while.
struct Seed {
    lt::torrent_handle handle;
    lt::info_hash_t hashes;
    std::string path;
};

// A torrent on its way out of the session; its partial file is cut back to
// `keepBytes` once libtorrent has let go of it.
struct Leaving {
    lt::info_hash_t hashes;
    std::string partPath;
    std::int64_t keepBytes = -1;  // -1: leave the file alone
};

}  // namespace

struct TorrentBackend::Impl {
    Impl(const PeerConfig& c, EngineLog* l) : config(c), log(l) {}

    PeerConfig config;
    EngineLog* log;
    std::unique_ptr<lt::session> session;
    int wake[2] = {-1, -1};
    TransferId nextId = 1;
    std::map<TransferId, std::unique_ptr<Transfer>> transfers;
    std::vector<Seed> seeds;
    std::vector<Leaving> leaving;
    std::int64_t idleSinceMs = -1;
    std::int64_t highestReceiveCap = 0;
    std::int64_t appliedUploadCap = -1;
    std::int64_t uploadLogged = 0;
    std::int64_t nextUploadLineMs = 0;

    bool Create();
    void ApplyUploadCap();
    Transfer* Find(const lt::torrent_handle& handle);
    bool ContentBusy(const Transfer& t) const;
    void Begin(Transfer* t, std::int64_t now);
    void BeginRename(Transfer* t);
    void Sample(Transfer* t, std::int64_t now);
    void NoteServers(Transfer* t);
    void CallPeers(Transfer* t);
    void AddWebSeeds(Transfer* t, const char* why);
    void HandleAlert(lt::alert* a);
    void Stop(Transfer* t);
    void StopSeeding(std::int64_t now);
    void LogUpload(std::int64_t now);
    void Report(TransferId id);
    void Drain();
};

namespace {

std::string EndpointText(const lt::tcp::endpoint& ep) {
    const lt::address a = ep.address();
    return (a.is_v6() ? "[" + a.to_string() + "]" : a.to_string()) + ":" +
           std::to_string(ep.port());
}

std::string ListenText(const PeerConfig& config) {
    if (!config.listenGiven) return "0.0.0.0:0,[::]:0";
    const PeerEndpoint& l = config.listen;
    const bool v6 = l.address.find(':') != std::string::npos;
    return (v6 ? "[" + l.address + "]" : l.address) + ":" + std::to_string(l.port);
}

// The address and port of an http(s) address whose host is numeric.
bool NumericEndpoint(const std::string& url, lt::tcp::endpoint* endpoint) {
    const bool https = url.rfind("https://", 0) == 0;
    std::string rest = url.substr(url.find("://") + 3);
    rest = rest.substr(0, rest.find_first_of("/?#"));
    if (const std::size_t at = rest.rfind('@'); at != std::string::npos) rest.erase(0, at + 1);
    std::string host = rest;
    std::string port;
    if (!rest.empty() && rest.front() == '[') {
        const std::size_t close = rest.find(']');
        if (close == std::string::npos) return false;
        host = rest.substr(1, close - 1);
        if (close + 1 < rest.size() && rest[close + 1] == ':') port = rest.substr(close + 2);
    } else if (const std::size_t colon = rest.find(':'); colon != std::string::npos) {
        host = rest.substr(0, colon);
        port = rest.substr(colon + 1);
    }
    lt::error_code ec;
    const lt::address address = lt::make_address(host, ec);
    if (ec) return false;
    const int number = port.empty() ? (https ? 443 : 80) : std::atoi(port.c_str());
    if (number <= 0 || number > 65535) return false;
    *endpoint = lt::tcp::endpoint(address, static_cast<std::uint16_t>(number));
    return true;
}

void Fail(Transfer* t, Transfer::Phase phase, std::string reason) {
    if (t->Terminal()) return;
    t->phase = phase;
    t->reason = std::move(reason);
}

bool IsDiskFull(const lt::error_code& ec) {
    return ec == boost::system::errc::no_space_on_device || ec.value() == EDQUOT ||
           ec.value() == ENOSPC;
}

}  // namespace

bool TorrentBackend::Impl::Create() {
    if (pipe2(wake, O_NONBLOCK | O_CLOEXEC) != 0) {
        log->Line("Peer back end: cannot create its wake-up pipe: %s", std::strerror(errno));
        return false;
    }
    lt::settings_pack pack;
    pack.set_int(
        lt::settings_pack::alert_mask,
        static_cast<int>(static_cast<std::uint32_t>(
            lt::alert_category::error | lt::alert_category::status | lt::alert_category::storage |
            lt::alert_category::peer | lt::alert_category::block_progress)));
    pack.set_str(lt::settings_pack::listen_interfaces, ListenText(config));
    pack.set_bool(lt::settings_pack::enable_lsd, config.localDiscovery);
    pack.set_bool(lt::settings_pack::enable_dht, config.dht);
    pack.set_bool(lt::settings_pack::enable_upnp, config.portMapping);
    pack.set_bool(lt::settings_pack::enable_natpmp, config.portMapping);
    if (!config.dht) pack.set_str(lt::settings_pack::dht_bootstrap_nodes, "");
    // Players behind one address (a LAN, a NAT, this machine in tests)
    // are still different players.
    pack.set_bool(lt::settings_pack::allow_multiple_connections_per_ip, true);
    pack.set_str(lt::settings_pack::user_agent, std::string("TLXDownloadV32/") + EngineVersion());
    // Players reach each other over TCP: on a LAN it is the faster of the
    // two, and a peer that speaks TCP only is not kept waiting for a uTP
    // attempt to time out. Peers calling in may still use uTP.
    pack.set_bool(lt::settings_pack::enable_outgoing_utp, false);
    // Files start at once and run side by side; no queue decides for us.
    pack.set_int(lt::settings_pack::active_downloads, -1);
    pack.set_int(lt::settings_pack::active_seeds, -1);
    pack.set_int(lt::settings_pack::active_limit, -1);
    lt::session_params params(std::move(pack));
    // Plain reads and writes: no file mapped into memory (which would count
    // a whole file as resident) and a full disk shows up as an error.
    params.disk_io_constructor = lt::posix_disk_io_constructor;
    session = std::make_unique<lt::session>(std::move(params));

    // Peers on the LAN are capped like every other: the caps are the
    // player's, wherever the bytes go.
    lt::ip_filter classes;
    const std::uint32_t global = 1u
                                 << static_cast<std::uint32_t>(lt::session::global_peer_class_id);
    classes.add_rule(lt::make_address("0.0.0.0"), lt::make_address("255.255.255.255"), global);
    classes.add_rule(lt::make_address("::"),
                     lt::make_address("ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"), global);
    session->set_peer_class_filter(classes);

    const int writeFd = wake[1];
    session->set_alert_notify([writeFd] {
        const char byte = 1;
        [[maybe_unused]] ssize_t n = write(writeFd, &byte, 1);
    });
    log->Line("Peer back end ready: local discovery %s, DHT %s, port mapping %s, %zu peers named",
              config.localDiscovery ? "on" : "off", config.dht ? "on" : "off",
              config.portMapping ? "on" : "off", config.peers.size());
    return true;
}

void TorrentBackend::Impl::ApplyUploadCap() {
    const std::int64_t cap = config.uploadCap > 0 ? config.uploadCap : highestReceiveCap / 4;
    if (cap == appliedUploadCap) return;
    appliedUploadCap = cap;
    lt::settings_pack pack;
    pack.set_int(lt::settings_pack::upload_rate_limit, AsRate(cap));
    session->apply_settings(std::move(pack));
    log->Line("Upload to peers capped at %lld B/s", static_cast<long long>(cap));
}

Transfer* TorrentBackend::Impl::Find(const lt::torrent_handle& handle) {
    for (auto& [id, t] : transfers)
        if (t->handle.is_valid() && t->handle == handle) return t.get();
    return nullptr;
}

bool TorrentBackend::Impl::ContentBusy(const Transfer& t) const {
    const lt::info_hash_t hashes = t.info->info_hashes();
    for (const Leaving& l : leaving)
        if (l.hashes == hashes || l.partPath == t.request.partPath) return true;
    for (const Seed& s : seeds)
        if (s.hashes == hashes) return true;
    for (const auto& [id, other] : transfers)
        if (other.get() != &t && other->phase != Transfer::Phase::kWaiting &&
            (other->info->info_hashes() == hashes || other->request.partPath == t.request.partPath))
            return true;
    return false;
}

void TorrentBackend::Impl::Begin(Transfer* t, std::int64_t now) {
    const TransferRequest& r = t->request;
    // A finished copy of this file that still seeds from the same place is
    // the file already there; one seeding elsewhere makes room.
    const lt::info_hash_t hashes = t->info->info_hashes();
    for (auto it = seeds.begin(); it != seeds.end(); ++it) {
        if (!(it->hashes == hashes)) continue;
        if (it->path == r.finalPath && PlainFileSize(r.finalPath) == t->size) {
            t->alreadyThere = true;
            t->verified = t->size;
            t->phase = Transfer::Phase::kFetched;
            return;
        }
        session->remove_torrent(it->handle);
        leaving.push_back({it->hashes, "", -1});
        seeds.erase(it);
        return;  // begins once libtorrent has let it go
    }
    if (ContentBusy(*t)) return;

    const long long final = PlainFileSize(r.finalPath);
    if (final == t->size) {
        // Checked like any partial data: it becomes final again only if
        // every piece passes. A whole file beats a partial one beside it.
        if (rename(r.finalPath.c_str(), r.partPath.c_str()) == 0) t->fromFinalName = true;
    } else if (final >= 0) {
        log->Line("Replacing %s (%lld bytes, metadata says %lld)", r.finalPath.c_str(), final,
                  static_cast<long long>(t->size));
        unlink(r.finalPath.c_str());
    }

    lt::add_torrent_params atp;
    atp.ti = t->info;
    atp.save_path = Folder(r.partPath);
    atp.renamed_files[lt::file_index_t{0}] = BaseName(r.partPath);
    atp.flags = lt::torrent_flags::default_flags & ~lt::torrent_flags::auto_managed &
                ~lt::torrent_flags::paused;
    atp.download_limit = r.maxBytesPerSecond > 0 ? AsRate(r.maxBytesPerSecond) : -1;
    lt::error_code ec;
    t->handle = session->add_torrent(std::move(atp), ec);
    if (ec) return Fail(t, Transfer::Phase::kFailed, "cannot add the file: " + ec.message());
    t->phase = Transfer::Phase::kRunning;
    t->startMs = now;
    t->lastProgressMs = now;
    t->nextSampleMs = now;
    highestReceiveCap = std::max(highestReceiveCap, r.maxBytesPerSecond);
    ApplyUploadCap();
    log->Line("Fetching %s from peers: %lld bytes in %d pieces%s", r.finalPath.c_str(),
              static_cast<long long>(t->size), t->info->num_pieces(),
              t->fromFinalName ? " (checking the file already there)" : "");
    CallPeers(t);
}

void TorrentBackend::Impl::CallPeers(Transfer* t) {
    for (const PeerEndpoint& p : config.peers) {
        lt::error_code ec;
        const lt::address address = lt::make_address(p.address, ec);
        if (!ec) t->handle.connect_peer(lt::tcp::endpoint(address, p.port));
    }
}

void TorrentBackend::Impl::AddWebSeeds(Transfer* t, const char* why) {
    t->webSeedsAdded = true;
    if (t->webSeeds.empty()) return;
    log->Line("%s: %s; the file servers join as web seeds", t->request.finalPath.c_str(), why);
    for (const std::string& url : t->webSeeds) {
        t->handle.add_url_seed(url);
        // A server named by its address is known before it connects.
        lt::tcp::endpoint endpoint;
        if (NumericEndpoint(url, &endpoint)) t->serverEndpoints.push_back(endpoint);
    }
}

void TorrentBackend::Impl::BeginRename(Transfer* t) {
    t->phase = Transfer::Phase::kRenaming;
    const std::string& finalPath = t->request.finalPath;
    if (unlink(finalPath.c_str()) != 0 && errno != ENOENT)
        return Fail(t, Transfer::Phase::kFailed, "cannot replace " + finalPath);
    t->handle.rename_file(lt::file_index_t{0}, BaseName(finalPath));
}

void TorrentBackend::Impl::NoteServers(Transfer* t) {
    std::vector<lt::peer_info> peers;
    t->handle.get_peer_info(peers);
    for (const lt::peer_info& p : peers)
        if ((p.connection_type & (lt::peer_info::web_seed | lt::peer_info::http_seed)) !=
                lt::connection_type_t{} &&
            std::find(t->serverEndpoints.begin(), t->serverEndpoints.end(), p.ip) ==
                t->serverEndpoints.end())
            t->serverEndpoints.push_back(p.ip);
}

void TorrentBackend::Impl::Sample(Transfer* t, std::int64_t now) {
    if (now < t->nextSampleMs || t->phase != Transfer::Phase::kRunning) return;
    t->nextSampleMs = now + kSampleEveryMs;
    const lt::torrent_status st = t->handle.status();
    const bool checking = st.state == lt::torrent_status::checking_files ||
                          st.state == lt::torrent_status::checking_resume_data;
    const std::int64_t delta = st.total_wanted_done - t->verified;
    t->verified = st.total_wanted_done;
    t->uploaded = st.total_payload_upload;
    if (checking) {
        t->lastProgressMs = now;
        return;
    }
    if (t->verifiedAfterCheck < 0) {
        // Peers called while the data was checked may have been turned
        // away; now the file can be shared.
        CallPeers(t);
        t->nextPeerCallMs = now + kPeerCallEveryMs;
        t->verifiedAfterCheck = t->verified;
        if (t->verified > 0)
            log->Line("%s: %lld bytes on disk passed their check", t->request.partPath.c_str(),
                      static_cast<long long>(t->verified));
        t->windowStartMs = now;
        t->windowStartVerified = t->verified;
    } else if (delta > 0) {
        t->listener->OnBytes(t->id, static_cast<std::uint64_t>(delta));
    }
    if (delta > 0) t->lastProgressMs = now;

    if (t->webSeedsAdded) NoteServers(t);

    if (!t->webSeedsAdded && t->verified < t->size) {
        // Peers get a window from when the first one connects; without any
        // the window is the wait for one.
        if (st.num_peers > 0 && !t->peerSeen) {
            t->peerSeen = true;
            t->windowStartMs = now;
            t->windowStartVerified = t->verified;
        }
        if (now - t->windowStartMs >= kPeerWindowMs) {
            const std::int64_t rate =
                (t->verified - t->windowStartVerified) * 1000 / (now - t->windowStartMs);
            if (!t->peerSeen) {
                AddWebSeeds(t, "no peer has it");
            } else if (rate < kPeerFloorBytesPerSecond) {
                AddWebSeeds(t, ("peers give " + std::to_string(rate) + " B/s").c_str());
            }
            t->windowStartMs = now;
            t->windowStartVerified = t->verified;
        }
    }
    if (now >= t->nextPeerCallMs && t->verified < t->size) {
        t->nextPeerCallMs = now + kPeerCallEveryMs;
        CallPeers(t);
    }
    const std::int64_t stallMs = static_cast<std::int64_t>(config.stallSeconds) * 1000;
    if (now - t->lastProgressMs >= stallMs)
        Fail(t, Transfer::Phase::kFailed,
             "no progress from peers or file servers for " + std::to_string(config.stallSeconds) +
                 " s");
}

void TorrentBackend::Impl::HandleAlert(lt::alert* a) {
    if (auto* x = lt::alert_cast<lt::torrent_finished_alert>(a)) {
        if (Transfer* t = Find(x->handle); t && t->phase == Transfer::Phase::kRunning) {
            const lt::torrent_status st = t->handle.status();
            t->verified = st.total_wanted_done;
            if (t->verifiedAfterCheck < 0) t->verifiedAfterCheck = t->verified;
            BeginRename(t);
        }
    } else if (auto* x = lt::alert_cast<lt::file_renamed_alert>(a)) {
        if (Transfer* t = Find(x->handle); t && t->phase == Transfer::Phase::kRenaming) {
            t->phase = Transfer::Phase::kFetched;
            t->alreadyThere = t->fromFinalName && t->verifiedAfterCheck == t->size;
        }
    } else if (auto* x = lt::alert_cast<lt::file_rename_failed_alert>(a)) {
        if (Transfer* t = Find(x->handle))
            Fail(t, Transfer::Phase::kFailed,
                 "cannot rename the partial file: " + x->error.message());
    } else if (auto* x = lt::alert_cast<lt::file_error_alert>(a)) {
        if (Transfer* t = Find(x->handle)) {
            const std::string what = std::string(x->filename()) + ": " + x->error.message();
            Fail(t, IsDiskFull(x->error) ? Transfer::Phase::kDiskFull : Transfer::Phase::kFailed,
                 what);
        }
    } else if (auto* x = lt::alert_cast<lt::torrent_error_alert>(a)) {
        if (Transfer* t = Find(x->handle))
            Fail(t, IsDiskFull(x->error) ? Transfer::Phase::kDiskFull : Transfer::Phase::kFailed,
                 x->error.message());
    } else if (auto* x = lt::alert_cast<lt::block_finished_alert>(a)) {
        if (Transfer* t = Find(x->handle)) {
            const std::int64_t offset = static_cast<std::int64_t>(x->block_index) * kBlockBytes;
            const std::int64_t bytes = std::clamp<std::int64_t>(
                t->info->piece_size(x->piece_index) - offset, 0, kBlockBytes);
            t->blockBytes[x->endpoint] += bytes;
        }
    } else if (auto* x = lt::alert_cast<lt::hash_failed_alert>(a)) {
        if (Transfer* t = Find(x->handle)) {
            ++t->hashFailures;
            log->Line("%s: piece %d failed its hash check; fetching it again",
                      t->request.partPath.c_str(), static_cast<int>(x->piece_index));
        }
    } else if (auto* x = lt::alert_cast<lt::peer_ban_alert>(a)) {
        log->Line("Peer %s banned: it sent data that failed the hash check",
                  EndpointText(x->endpoint).c_str());
    } else if (auto* x = lt::alert_cast<lt::listen_succeeded_alert>(a)) {
        log->Line("Peers may connect on %s (%s)",
                  EndpointText(lt::tcp::endpoint(x->address, static_cast<std::uint16_t>(x->port)))
                      .c_str(),
                  x->socket_type == lt::socket_type_t::tcp ? "TCP" : "other");
    } else if (auto* x = lt::alert_cast<lt::listen_failed_alert>(a)) {
        log->Line("Cannot take peers on %s: %s", x->listen_interface(), x->error.message().c_str());
    } else if (auto* x = lt::alert_cast<lt::torrent_removed_alert>(a)) {
        for (auto it = leaving.begin(); it != leaving.end(); ++it) {
            if (!(it->hashes == x->info_hashes)) continue;
            // libtorrent has let go of the file: no write can follow.
            if (it->keepBytes >= 0 && PlainFileSize(it->partPath) > it->keepBytes &&
                truncate(it->partPath.c_str(), it->keepBytes) != 0)
                log->Line("Cannot cut %s back: %s", it->partPath.c_str(), std::strerror(errno));
            leaving.erase(it);
            break;
        }
    }
}

void TorrentBackend::Impl::Stop(Transfer* t) {
    if (!t->handle.is_valid()) return;
    Leaving l;
    l.hashes = t->info->info_hashes();
    l.partPath = t->request.partPath;
    const lt::torrent_status st = t->handle.status(lt::torrent_handle::query_pieces);
    int leading = 0;
    while (leading < st.pieces.size() && st.pieces.get_bit(lt::piece_index_t{leading})) ++leading;
    l.keepBytes = std::min<std::int64_t>(
        static_cast<std::int64_t>(leading) * t->info->piece_length(), t->size);
    session->remove_torrent(t->handle);
    t->handle = lt::torrent_handle();
    log->Line("%s: stopped with %lld verified leading bytes kept", l.partPath.c_str(),
              static_cast<long long>(l.keepBytes));
    leaving.push_back(std::move(l));
}

void TorrentBackend::Impl::StopSeeding(std::int64_t now) {
    bool running = false;
    for (const auto& [id, t] : transfers) running = running || !t->Terminal();
    if (running) {
        idleSinceMs = -1;
        return;
    }
    if (seeds.empty()) return;
    if (idleSinceMs < 0) idleSinceMs = now;
    if (now - idleSinceMs < static_cast<std::int64_t>(config.seedGraceSeconds) * 1000) return;
    for (const Seed& s : seeds) {
        const std::int64_t sent = s.handle.status().total_payload_upload;
        log->Line("Stopped seeding %s: %lld bytes sent to peers", s.path.c_str(),
                  static_cast<long long>(sent));
        session->remove_torrent(s.handle);
        leaving.push_back({s.hashes, "", -1});
    }
    seeds.clear();
}

void TorrentBackend::Impl::LogUpload(std::int64_t now) {
    if (now < nextUploadLineMs) return;
    nextUploadLineMs = now + kUploadLineEveryMs;
    std::int64_t sent = 0;
    for (const auto& [id, t] : transfers) sent += t->uploaded;
    for (const Seed& s : seeds) sent += s.handle.status().total_payload_upload;
    if (sent <= uploadLogged) return;
    log->Line("Sent %lld bytes to peers from the files now shared (cap %lld B/s)",
              static_cast<long long>(sent), static_cast<long long>(appliedUploadCap));
    uploadLogged = sent;
}

void TorrentBackend::Impl::Report(TransferId id) {
    auto it = transfers.find(id);
    if (it == transfers.end() || !it->second->Terminal()) return;
    std::unique_ptr<Transfer> t = std::move(it->second);
    transfers.erase(it);
    ITransferListener* listener = t->listener;
    FetchOutcome outcome{t->size, t->alreadyThere, 0, 0};
    try {
        if (t->phase == Transfer::Phase::kFetched && t->handle.is_valid()) {
            if (t->webSeedsAdded) NoteServers(t.get());
            std::int64_t fromPeers = 0;
            std::int64_t fromServers = 0;
            for (const auto& [endpoint, bytes] : t->blockBytes) {
                const bool server = std::find(t->serverEndpoints.begin(), t->serverEndpoints.end(),
                                              endpoint) != t->serverEndpoints.end();
                (server ? fromServers : fromPeers) += bytes;
            }
            log->Line(
                "%s: %lld bytes from peers, %lld from file servers, %lld sent to peers, "
                "%d pieces failed their check",
                t->request.finalPath.c_str(), static_cast<long long>(fromPeers),
                static_cast<long long>(fromServers),
                static_cast<long long>(t->handle.status().total_payload_upload), t->hashFailures);
            outcome.fromPeers = static_cast<std::uint64_t>(fromPeers);
            outcome.fromServers = static_cast<std::uint64_t>(fromServers);
            seeds.push_back({t->handle, t->info->info_hashes(), t->request.finalPath});
        } else if (t->phase != Transfer::Phase::kFetched) {
            Stop(t.get());
        }
    } catch (const std::exception& e) {
        log->Line("Peer back end: %s after %s", e.what(), t->request.finalPath.c_str());
    }
    switch (t->phase) {
        case Transfer::Phase::kFetched:
            listener->OnFetched(id, outcome);
            break;
        case Transfer::Phase::kFailed:
            listener->OnFailed(id, t->reason);
            break;
        case Transfer::Phase::kDiskFull:
            listener->OnDiskFull(id, t->reason);
            break;
        default:
            break;
    }
}

void TorrentBackend::Impl::Drain() {
    char buffer[256];
    while (read(wake[0], buffer, sizeof buffer) > 0) {
    }
}

TorrentBackend::TorrentBackend(const PeerConfig& config, EngineLog* log)
    : impl_(std::make_unique<Impl>(config, log)) {
    try {
        if (!impl_->Create()) impl_->session.reset();
    } catch (const std::exception& e) {
        log->Line("Peer back end unavailable: %s", e.what());
        impl_->session.reset();
    }
}

TorrentBackend::~TorrentBackend() {
    std::vector<Leaving> cut = std::move(impl_->leaving);
    try {
        for (auto& [id, t] : impl_->transfers) {
            if (t->phase == Transfer::Phase::kRunning) impl_->Stop(t.get());
        }
        for (const Seed& seed : impl_->seeds)
            impl_->log->Line("Stopped seeding %s: %lld bytes sent to peers", seed.path.c_str(),
                             static_cast<long long>(seed.handle.status().total_payload_upload));
        for (Leaving& l : impl_->leaving) cut.push_back(std::move(l));
        // The session's end waits until its threads have closed every file.
        impl_->session.reset();
    } catch (const std::exception& e) {
        impl_->log->Line("Peer back end: %s while stopping", e.what());
    }
    for (const Leaving& l : cut) {
        if (l.keepBytes >= 0 && PlainFileSize(l.partPath) > l.keepBytes) [[maybe_unused]]
            int r = truncate(l.partPath.c_str(), l.keepBytes);
    }
    for (int fd : impl_->wake)
        if (fd >= 0) close(fd);
}

bool TorrentBackend::Ready() const {
    return impl_->session != nullptr;
}

TransferId TorrentBackend::Start(const TransferRequest& request, const std::string& metadata,
                                 ITransferListener* listener, std::string* why) {
    try {
        lt::error_code ec;
        auto info = std::make_shared<lt::torrent_info>(
            lt::span<char const>(metadata.data(), static_cast<std::ptrdiff_t>(metadata.size())), ec,
            lt::from_span);
        if (ec) {
            *why = "malformed metadata: " + ec.message();
            return 0;
        }
        if (info->num_files() != 1) {
            *why = "the metadata describes " + std::to_string(info->num_files()) + " files";
            return 0;
        }
        if (request.expectedSize >= 0 && info->total_size() != request.expectedSize) {
            *why = "the metadata describes " + std::to_string(info->total_size()) +
                   " bytes, the job " + std::to_string(request.expectedSize);
            return 0;
        }
        auto t = std::make_unique<Transfer>();
        t->id = impl_->nextId++;
        t->request = request;
        t->listener = listener;
        t->size = info->total_size();
        // The job's own addresses first, then any the publisher added; none
        // join until peers prove too slow.
        for (const std::string& url : request.urls)
            if (HasHttpScheme(url)) t->webSeeds.push_back(url);
        for (const lt::web_seed_entry& seed : info->web_seeds())
            if (seed.type == lt::web_seed_entry::url_seed && HasHttpScheme(seed.url) &&
                std::find(t->webSeeds.begin(), t->webSeeds.end(), seed.url) == t->webSeeds.end())
                t->webSeeds.push_back(seed.url);
        info->clear_web_seeds();
        t->info = std::move(info);
        const TransferId id = t->id;
        Transfer* raw = t.get();
        impl_->transfers.emplace(id, std::move(t));
        impl_->Begin(raw, MonotonicMs());
        return id;
    } catch (const std::exception& e) {
        *why = std::string("the peer back end failed: ") + e.what();
        return 0;
    }
}

void TorrentBackend::Cancel(TransferId id) {
    auto it = impl_->transfers.find(id);
    if (it == impl_->transfers.end()) return;
    std::unique_ptr<Transfer> t = std::move(it->second);
    impl_->transfers.erase(it);
    try {
        if (t->phase == Transfer::Phase::kFetched && t->handle.is_valid()) {
            impl_->seeds.push_back({t->handle, t->info->info_hashes(), t->request.finalPath});
        } else {
            impl_->Stop(t.get());
        }
    } catch (const std::exception& e) {
        impl_->log->Line("Peer back end: %s while cancelling", e.what());
    }
}

bool TorrentBackend::Status(TransferId id, TransferStatus* status) const {
    auto it = impl_->transfers.find(id);
    if (it == impl_->transfers.end()) return false;
    status->size = it->second->size;
    status->held = it->second->verified;
    return true;
}

int TorrentBackend::WakeFd() const {
    return impl_->wake[0];
}

int TorrentBackend::DueInMs() const {
    for (const auto& [id, t] : impl_->transfers)
        if (t->Terminal()) return 0;
    return impl_->transfers.empty() && impl_->seeds.empty() ? 1000 : 250;
}

void TorrentBackend::Poll() {
    if (!impl_->session) return;
    std::vector<TransferId> ids;
    try {
        impl_->Drain();
        std::vector<lt::alert*> alerts;
        impl_->session->pop_alerts(&alerts);
        for (lt::alert* a : alerts) impl_->HandleAlert(a);
        const std::int64_t now = MonotonicMs();
        for (auto& [id, t] : impl_->transfers) {
            if (t->phase == Transfer::Phase::kWaiting) impl_->Begin(t.get(), now);
            if (t->phase == Transfer::Phase::kRunning) impl_->Sample(t.get(), now);
            if (t->Terminal()) ids.push_back(id);
        }
        impl_->LogUpload(now);
        impl_->StopSeeding(now);
    } catch (const std::exception& e) {
        impl_->log->Line("Peer back end: %s", e.what());
        for (auto& [id, t] : impl_->transfers) {
            Fail(t.get(), Transfer::Phase::kFailed, std::string("peer back end: ") + e.what());
            ids.push_back(id);
        }
    }
    // Outcomes last: a listener may start or cancel transfers.
    for (TransferId id : ids) impl_->Report(id);
}

}  // namespace engine
