// The one file that includes libtorrent: its headers are heavy and the
// engine's other files must build quickly.
#include "torrent_backend.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <libtorrent/add_torrent_params.hpp>
#include <libtorrent/alert_types.hpp>
#include <libtorrent/error_code.hpp>
#include <libtorrent/ip_filter.hpp>
#include <libtorrent/posix_disk_io.hpp>
#include <libtorrent/session.hpp>
#include <libtorrent/session_params.hpp>
#include <libtorrent/settings_pack.hpp>
#include <libtorrent/torrent_handle.hpp>
#include <libtorrent/torrent_info.hpp>
#include <libtorrent/torrent_status.hpp>
#include <climits>
#include <map>
#include <random>
#include <set>
#include <vector>

#include "clock.h"
#include "engine_log.h"
#include "piece_fetcher.h"
#include "piece_state.h"
#include "server_share.h"
#include "version_note.h"

namespace engine {
namespace {

constexpr std::int64_t kSampleEveryMs = 1000;
// Peers named in the configuration are called again this often while a
// transfer runs: one that was not ready (had not added the file yet) gets
// another chance.
constexpr std::int64_t kPeerCallEveryMs = 5000;
// Without any peer this long after the start (trackers and the LAN have
// had their chance), the file servers send what nobody has.
constexpr std::int64_t kNoPeerGraceMs = 3000;
// Peers that deliver slower than this over a whole peer window leave the
// file servers the pieces they have as well.
constexpr std::int64_t kPeerFloorBytesPerSecond = 256 * 1024;
// Server pieces in flight at once: more while no peer is there to share
// the work (the file server is the only source), one beside peers.
constexpr std::size_t kServerPiecesAlone = 4;
constexpr std::size_t kServerPiecesBesidePeers = 1;
// A source that fails this often in a row gives way to the next.
constexpr int kSourceFailuresInARow = 3;
constexpr std::int64_t kUploadLineEveryMs = 10000;
// How often a running transfer notes its pieces beside its partial file.
constexpr std::int64_t kStateSaveEveryMs = 10000;
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
    bool peerSeen = false;
    std::int64_t peerSeenMs = 0;
    // A server fetch ended well: the next one starts in this turn, not at
    // the next sample.
    bool refill = false;
    std::int64_t startMs = 0;
    std::int64_t lastProgressMs = 0;
    std::int64_t nextPeerCallMs = 0;
    std::int64_t nextSampleMs = 0;
    std::int64_t nextStateSaveMs = 0;
    // The peer window: payload from peers since it began, and whether the
    // last whole window fell below the floor.
    std::int64_t windowStartMs = 0;
    std::int64_t windowStartPayload = 0;
    bool peersSlow = false;
    int hashFailures = 0;
    // The file servers, by the pieces they send: the source asked, its
    // failures in a row, the pieces being fetched and those handed to
    // libtorrent that wait for their check.
    std::size_t source = 0;
    int sourceFailures = 0;
    bool serversDone = false;  // every source failed: peers only
    std::map<PieceFetcher::FetchId, int> serverFetches;  // fetch -> piece
    std::set<int> serverAdded;
    std::int64_t appliedLimit = -2;
    std::mt19937 pick{std::random_device{}()};
    // What the file is made of: the bytes already verified on disk when it
    // began, and which pieces the file servers sent (this run and earlier
    // runs, for the next piece state); the bytes the servers sent now.
    std::int64_t alreadyBytes = 0;
    std::vector<bool> fromServers;
    std::int64_t serverBytes = 0;
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

// A torrent on its way out of the session; once libtorrent has let go of
// its partial file, every piece it verified is on disk, and the piece state
// beside the file says so.
struct Leaving {
    lt::info_hash_t hashes;
    std::string partPath;
    bool writeState = false;
    PieceState state;
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
    PieceFetcher fetcher{log};
    // This engine's peer id: other players rank themselves against it.
    std::string playerId = [] {
        std::mt19937_64 random{std::random_device{}()};
        return MakePlayerId(random);
    }();

    bool Create();
    void ApplyUploadCap();
    Transfer* Find(const lt::torrent_handle& handle);
    bool ContentBusy(const Transfer& t) const;
    void Begin(Transfer* t, std::int64_t now);
    void BeginRename(Transfer* t);
    void Sample(Transfer* t, std::int64_t now);
    void CallPeers(Transfer* t);
    // Starts server fetches of pieces the peers leave to the file servers.
    void FeedFromServers(Transfer* t, const lt::torrent_status& st, std::int64_t now);
    void Refill(Transfer* t, std::int64_t now);
    void ReleasePiece(Transfer* t, int piece);
    void CancelServerFetches(Transfer* t);
    void OnServerPiece(PieceFetcher::Result& result);
    void ServerSourceFailed(Transfer* t, const std::string& why);
    void ShareTheCap(Transfer* t);
    void FinishIfWhole(Transfer* t);
    PieceState StateOf(const Transfer* t, const lt::typed_bitfield<lt::piece_index_t>& have,
                       bool stopped) const;
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

std::string Hex(const lt::sha1_hash& hash) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    for (char c : hash) {
        const auto byte = static_cast<unsigned char>(c);
        out += kDigits[byte >> 4];
        out += kDigits[byte & 15];
    }
    return out;
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
    // One alert per piece, not per block: at full speed block alerts
    // outnumber the queue and get lost, and every one wakes the loop.
    pack.set_int(
        lt::settings_pack::alert_mask,
        static_cast<int>(static_cast<std::uint32_t>(
            lt::alert_category::error | lt::alert_category::status | lt::alert_category::storage |
            lt::alert_category::peer | lt::alert_category::piece_progress |
            lt::alert_category::tracker)));
    pack.set_int(lt::settings_pack::alert_queue_size, 10000);
    // The publisher's trackers are all meeting points of the same players:
    // every one is told, not the first that answers.
    pack.set_bool(lt::settings_pack::announce_to_all_trackers, true);
    pack.set_bool(lt::settings_pack::announce_to_all_tiers, true);
    pack.set_int(lt::settings_pack::stop_tracker_timeout, 1);
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
    // A whole 20-byte fingerprint is the peer id itself, the same for
    // every torrent: how other players tell this one apart.
    pack.set_str(lt::settings_pack::peer_fingerprint, playerId);
    // Players reach each other over TCP: on a LAN it is the faster of the
    // two, and a peer that speaks TCP only is not kept waiting for a uTP
    // attempt to time out. Peers calling in may still use uTP.
    pack.set_bool(lt::settings_pack::enable_outgoing_utp, false);
    // Files start at once and run side by side; no queue decides for us.
    pack.set_int(lt::settings_pack::active_downloads, -1);
    pack.set_int(lt::settings_pack::active_seeds, -1);
    pack.set_int(lt::settings_pack::active_limit, -1);
    // The plain-file disk back end: no file is mapped into memory (which
    // would count a whole file as resident) and a full disk shows up as an
    // error, not a signal. The threaded back end (mmap_disk_io, even with
    // plain writes and two I/O threads) measured worse on this 2.0 release:
    // 130-155 MiB peak and more CPU for 1 GiB from one seed, against
    // 50-90 MiB here (bench case 7).
    lt::session_params params(std::move(pack));
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
        leaving.push_back({it->hashes, "", false, {}});
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
    // What an earlier transfer verified and left on disk is not hashed
    // again; a state left by one that did not stop in order is only a
    // hint, and the file is checked.
    PieceState saved;
    const int pieces = t->info->num_pieces();
    t->fromServers.assign(static_cast<std::size_t>(pieces), false);
    if (!t->fromFinalName && LoadPieceState(r.partPath, &saved) && saved.stopped &&
        saved.infoHash == Hex(hashes.get_best()) && saved.size == t->size &&
        saved.pieceLength == t->info->piece_length() && PlainFileSize(r.partPath) >= 0) {
        atp.have_pieces.resize(pieces, false);
        for (int i = 0; i < pieces; ++i)
            if (saved.have[static_cast<std::size_t>(i)]) atp.have_pieces.set_bit(lt::piece_index_t{i});
        t->fromServers = saved.fromServers;
        log->Line("%s: %lld bytes verified earlier are kept", r.partPath.c_str(),
                  static_cast<long long>(saved.HaveBytes()));
    } else {
        saved = PieceState{};
    }
    // From here on the file is written: its state says so, in case the
    // engine ends without stopping it.
    lt::typed_bitfield<lt::piece_index_t> none(pieces, false);
    if (!SavePieceState(r.partPath, StateOf(t, atp.have_pieces.empty() ? none : atp.have_pieces, false)))
        log->Line("%s: cannot note its pieces beside it", r.partPath.c_str());
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

void TorrentBackend::Impl::BeginRename(Transfer* t) {
    t->phase = Transfer::Phase::kRenaming;
    const std::string& finalPath = t->request.finalPath;
    if (unlink(finalPath.c_str()) != 0 && errno != ENOENT)
        return Fail(t, Transfer::Phase::kFailed, "cannot replace " + finalPath);
    t->handle.rename_file(lt::file_index_t{0}, BaseName(finalPath));
}

PieceState TorrentBackend::Impl::StateOf(const Transfer* t,
                                         const lt::typed_bitfield<lt::piece_index_t>& have,
                                         bool stopped) const {
    PieceState state;
    state.stopped = stopped;
    state.infoHash = Hex(t->info->info_hashes().get_best());
    state.size = t->size;
    state.pieceLength = t->info->piece_length();
    const int pieces = t->info->num_pieces();
    state.have.assign(static_cast<std::size_t>(pieces), false);
    state.fromServers.assign(static_cast<std::size_t>(pieces), false);
    for (int i = 0; i < pieces && i < have.size(); ++i) {
        const bool had = have.get_bit(lt::piece_index_t{i});
        state.have[static_cast<std::size_t>(i)] = had;
        state.fromServers[static_cast<std::size_t>(i)] =
            had && static_cast<std::size_t>(i) < t->fromServers.size() &&
            t->fromServers[static_cast<std::size_t>(i)];
    }
    return state;
}

void TorrentBackend::Impl::Sample(Transfer* t, std::int64_t now) {
    if (now < t->nextSampleMs || t->phase != Transfer::Phase::kRunning) return;
    t->nextSampleMs = now + kSampleEveryMs;
    const lt::torrent_status st = t->handle.status(lt::torrent_handle::query_pieces);
    const bool checking = st.state == lt::torrent_status::checking_files ||
                          st.state == lt::torrent_status::checking_resume_data;
    // Every piece counts, the ones kept back for the file servers too.
    const std::int64_t delta = st.total_done - t->verified;
    t->verified = st.total_done;
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
        t->alreadyBytes = t->verified;
        if (t->verified > 0)
            log->Line("%s: %lld bytes on disk passed their check", t->request.partPath.c_str(),
                      static_cast<long long>(t->verified));
        t->startMs = now;
        t->windowStartMs = now;
        t->windowStartPayload = st.total_payload_download;
    } else if (delta > 0) {
        t->listener->OnBytes(t->id, static_cast<std::uint64_t>(delta));
    }
    if (delta > 0) t->lastProgressMs = now;

    FeedFromServers(t, st, now);
    ShareTheCap(t);
    if (now >= t->nextStateSaveMs) {
        t->nextStateSaveMs = now + kStateSaveEveryMs;
        (void)SavePieceState(t->request.partPath, StateOf(t, st.pieces, false));
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

void TorrentBackend::Impl::FeedFromServers(Transfer* t, const lt::torrent_status& st,
                                           std::int64_t now) {
    t->refill = false;
    if (t->webSeeds.empty() || t->serversDone || t->verified >= t->size) return;
    // The peer window runs from the first peer on and starts over when it
    // ends: whether peers keep up is judged on the payload they sent in
    // the last whole window.
    const std::int64_t windowMs = static_cast<std::int64_t>(config.peerWindowSeconds) * 1000;
    if (st.num_peers > 0 && !t->peerSeen) {
        t->peerSeen = true;
        t->peerSeenMs = now;
        t->windowStartMs = now;
        t->windowStartPayload = st.total_payload_download;
    }
    if (t->peerSeen && now - t->windowStartMs >= windowMs) {
        const std::int64_t rate =
            (st.total_payload_download - t->windowStartPayload) * 1000 / (now - t->windowStartMs);
        const bool slow = rate < kPeerFloorBytesPerSecond;
        if (slow != t->peersSlow)
            log->Line("%s: peers give %lld B/s; the file servers %s", t->request.finalPath.c_str(),
                      static_cast<long long>(rate),
                      slow ? "also send pieces peers have" : "send only what no peer has");
        t->peersSlow = slow;
        t->windowStartMs = now;
        t->windowStartPayload = st.total_payload_download;
    }
    // Before any peer has answered, the servers wait a little: a player
    // who starts beside others takes from them.
    if (!t->peerSeen && now - t->startMs < kNoPeerGraceMs) return;
    // A peer that just connected has not yet said which pieces it has:
    // until it has had the same grace, nothing it may have goes to a server.
    if (t->peerSeen && now - t->peerSeenMs < kNoPeerGraceMs) return;

    std::vector<int> availability;
    t->handle.piece_availability(availability);
    const auto othersHave = [&](int piece) {
        return static_cast<std::size_t>(piece) < availability.size() &&
               availability[static_cast<std::size_t>(piece)] > 0;
    };
    // A piece a peer now has comes quicker from the peer while peers keep
    // up: its server fetch gives way.
    if (!t->peersSlow) {
        for (auto it = t->serverFetches.begin(); it != t->serverFetches.end();) {
            if (!othersHave(it->second)) {
                ++it;
                continue;
            }
            const int piece = it->second;
            fetcher.Cancel(it->first);
            it = t->serverFetches.erase(it);
            ReleasePiece(t, piece);
        }
    }
    const std::size_t room = st.num_peers > 0 ? kServerPiecesBesidePeers : kServerPiecesAlone;
    if (t->serverFetches.size() >= room) return;

    std::vector<lt::partial_piece_info> queue;
    t->handle.get_download_queue(queue);
    // A piece is under way while a peer has blocks of it asked or being
    // written. One left in the queue by a peer that went (a banned liar,
    // a dropped connection) is nobody's: the servers may fetch it.
    const auto busy = [](const lt::partial_piece_info& p) { return p.requested + p.writing > 0; };
    std::set<int> underWay;
    for (const lt::partial_piece_info& p : queue)
        if (busy(p)) underWay.insert(static_cast<int>(p.piece_index));
    std::set<int> reserved = t->serverAdded;
    for (const auto& [id, piece] : t->serverFetches) reserved.insert(piece);
    // Other players who lack a piece may own it: they ask the servers for it.
    std::vector<lt::peer_info> peers;
    if (st.num_peers > 0) t->handle.get_peer_info(peers);
    std::vector<const lt::peer_info*> players;
    for (const lt::peer_info& p : peers)
        if (IsPlayerId(std::string_view(p.pid.data(), p.pid.size()))) players.push_back(&p);
    const auto mine = [&](int piece) {
        const std::uint64_t rank = PieceRank(playerId, piece);
        for (const lt::peer_info* p : players) {
            const bool has = piece < p->pieces.size() && p->pieces.get_bit(lt::piece_index_t{piece});
            if (!has && PieceRank(std::string_view(p->pid.data(), p->pid.size()), piece) < rank)
                return false;
        }
        return true;
    };
    std::vector<int> candidates;
    for (int i = 0; i < t->info->num_pieces(); ++i) {
        if (st.pieces.get_bit(lt::piece_index_t{i}) || reserved.count(i) || underWay.count(i))
            continue;
        // Pieces peers have stay theirs, and pieces another player owns
        // are its to fetch, unless the peers fall behind.
        if (!t->peersSlow && (othersHave(i) || !mine(i))) continue;
        candidates.push_back(i);
    }
    std::shuffle(candidates.begin(), candidates.end(), t->pick);
    // Even when the peers fall behind, a player's own pieces come first.
    if (t->peersSlow && !players.empty())
        std::stable_partition(candidates.begin(), candidates.end(), mine);
    for (int piece : candidates) {
        if (t->serverFetches.size() >= room) break;
        // Kept from peers while the server sends it: one source per piece.
        t->handle.piece_priority(lt::piece_index_t{piece}, lt::dont_download);
        std::vector<lt::partial_piece_info> again;
        t->handle.get_download_queue(again);
        const bool taken = std::any_of(again.begin(), again.end(), [&](const auto& p) {
            return static_cast<int>(p.piece_index) == piece && busy(p);
        });
        if (taken) {
            // A peer's request got there first.
            t->handle.piece_priority(lt::piece_index_t{piece}, lt::default_priority);
            continue;
        }
        const std::int64_t first = static_cast<std::int64_t>(piece) * t->info->piece_length();
        const std::int64_t length = t->info->piece_size(lt::piece_index_t{piece});
        const std::int64_t cap = t->request.maxBytesPerSecond > 0
                                     ? std::max<std::int64_t>(16 * 1024, t->request.maxBytesPerSecond / 2 /
                                                                             static_cast<std::int64_t>(room))
                                     : 0;
        const PieceFetcher::FetchId id =
            fetcher.Start(t->webSeeds[t->source], first, length, t->size, cap);
        t->serverFetches.emplace(id, piece);
    }
}

void TorrentBackend::Impl::Refill(Transfer* t, std::int64_t now) {
    if (!t->refill || t->verifiedAfterCheck < 0) return;
    t->refill = false;
    FeedFromServers(t, t->handle.status(lt::torrent_handle::query_pieces), now);
    ShareTheCap(t);
}

void TorrentBackend::Impl::ShareTheCap(Transfer* t) {
    // Server pieces come past libtorrent's limiter: while they flow, peers
    // get half the cap and the fetches share the other half.
    const std::int64_t cap = t->request.maxBytesPerSecond;
    if (cap <= 0) return;
    const std::int64_t limit = t->serverFetches.empty() ? cap : std::max<std::int64_t>(cap / 2, 16 * 1024);
    if (limit == t->appliedLimit) return;
    t->appliedLimit = limit;
    t->handle.set_download_limit(AsRate(limit));
}

void TorrentBackend::Impl::ReleasePiece(Transfer* t, int piece) {
    if (t->handle.is_valid())
        t->handle.piece_priority(lt::piece_index_t{piece}, lt::default_priority);
}

void TorrentBackend::Impl::CancelServerFetches(Transfer* t) {
    for (const auto& [id, piece] : t->serverFetches) fetcher.Cancel(id);
    t->serverFetches.clear();
}

void TorrentBackend::Impl::ServerSourceFailed(Transfer* t, const std::string& why) {
    const std::string& url = t->webSeeds[t->source];
    log->Line("%s: the file server %.200s: %s", t->request.finalPath.c_str(), url.c_str(),
              why.c_str());
    if (++t->sourceFailures < kSourceFailuresInARow) return;
    t->sourceFailures = 0;
    if (++t->source < t->webSeeds.size()) return;
    t->serversDone = true;
    log->Line("%s: no file server sends its pieces; peers only", t->request.finalPath.c_str());
}

void TorrentBackend::Impl::OnServerPiece(PieceFetcher::Result& result) {
    for (auto& [id, t] : transfers) {
        auto it = t->serverFetches.find(result.id);
        if (it == t->serverFetches.end()) continue;
        const int piece = it->second;
        t->serverFetches.erase(it);
        if (t->phase != Transfer::Phase::kRunning || !t->handle.is_valid()) return;
        if (!result.ok) {
            ReleasePiece(t.get(), piece);
            ServerSourceFailed(t.get(), result.why);
            return;
        }
        // libtorrent checks it and writes it like a piece from a peer.
        t->serverAdded.insert(piece);
        t->refill = true;
        t->handle.add_piece(lt::piece_index_t{piece}, std::move(result.bytes));
        return;
    }
}

void TorrentBackend::Impl::FinishIfWhole(Transfer* t) {
    if (t->phase != Transfer::Phase::kRunning || !t->serverAdded.empty()) return;
    const lt::torrent_status st = t->handle.status();
    if (st.num_pieces != t->info->num_pieces()) return;
    t->verified = st.total_done;
    if (t->verifiedAfterCheck < 0) {
        t->verifiedAfterCheck = t->verified;
        t->alreadyBytes = t->verified;
    }
    CancelServerFetches(t);
    BeginRename(t);
}

void TorrentBackend::Impl::HandleAlert(lt::alert* a) {
    if (auto* x = lt::alert_cast<lt::torrent_finished_alert>(a)) {
        // "Finished" counts the pieces peers may send; the file is whole
        // once the file servers' pieces have passed as well.
        if (Transfer* t = Find(x->handle)) FinishIfWhole(t);
    } else if (auto* x = lt::alert_cast<lt::piece_finished_alert>(a)) {
        Transfer* t = Find(x->handle);
        const int piece = static_cast<int>(x->piece_index);
        if (t && t->serverAdded.erase(piece)) {
            t->fromServers[static_cast<std::size_t>(piece)] = true;
            t->serverBytes += t->info->piece_size(x->piece_index);
            t->sourceFailures = 0;
            ReleasePiece(t, piece);
        }
        if (t) FinishIfWhole(t);
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
    } else if (auto* x = lt::alert_cast<lt::hash_failed_alert>(a)) {
        if (Transfer* t = Find(x->handle)) {
            ++t->hashFailures;
            const int piece = static_cast<int>(x->piece_index);
            log->Line("%s: piece %d failed its hash check; fetching it again",
                      t->request.partPath.c_str(), piece);
            if (t->serverAdded.erase(piece)) {
                ReleasePiece(t, piece);
                ServerSourceFailed(t, "a piece that failed its check");
            }
        }
    } else if (auto* x = lt::alert_cast<lt::tracker_reply_alert>(a)) {
        if (Transfer* t = Find(x->handle))
            log->Line("%s: tracker %.200s names %d peers", t->request.finalPath.c_str(),
                      x->tracker_url(), x->num_peers);
    } else if (auto* x = lt::alert_cast<lt::tracker_error_alert>(a)) {
        if (Transfer* t = Find(x->handle); t && x->times_in_row <= 1)
            log->Line("%s: tracker %.200s: %s", t->request.finalPath.c_str(), x->tracker_url(),
                      x->error ? x->error.message().c_str() : x->failure_reason());
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
            // libtorrent has let go of the file: every piece it verified
            // is written.
            if (it->writeState && !SavePieceState(it->partPath, it->state))
                log->Line("Cannot note the pieces of %s", it->partPath.c_str());
            leaving.erase(it);
            break;
        }
    }
}

void TorrentBackend::Impl::Stop(Transfer* t) {
    if (!t->handle.is_valid()) return;
    CancelServerFetches(t);
    Leaving l;
    l.hashes = t->info->info_hashes();
    l.partPath = t->request.partPath;
    const lt::torrent_status st = t->handle.status(lt::torrent_handle::query_pieces);
    // Pieces handed over but not yet checked are not counted as had.
    l.state = StateOf(t, st.pieces, true);
    l.writeState = true;
    session->remove_torrent(t->handle);
    t->handle = lt::torrent_handle();
    log->Line("%s: stopped with %lld verified bytes kept (%lld from its start)", l.partPath.c_str(),
              static_cast<long long>(l.state.HaveBytes()),
              static_cast<long long>(l.state.LeadingBytes()));
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
        leaving.push_back({s.hashes, "", false, {}});
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
            // By piece, exactly: what was on disk, what the file servers
            // sent (their pieces passed), and the rest from peers.
            const std::int64_t fromServers = std::min(t->serverBytes, t->size - t->alreadyBytes);
            const std::int64_t fromPeers = t->size - t->alreadyBytes - fromServers;
            log->Line(
                "%s: %lld bytes from peers, %lld from file servers, %lld sent to peers, "
                "%d pieces failed their check, %lld already on disk",
                t->request.finalPath.c_str(), static_cast<long long>(fromPeers),
                static_cast<long long>(fromServers),
                static_cast<long long>(t->handle.status().total_payload_upload), t->hashFailures,
                static_cast<long long>(t->alreadyBytes));
            RemovePieceState(t->request.partPath);
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
    // The session has closed every file: the pieces it verified are on disk.
    for (const Leaving& l : cut)
        if (l.writeState) (void)SavePieceState(l.partPath, l.state);
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

void TorrentBackend::AddPollFds(std::vector<pollfd>* fds, int* timeoutMs) {
    impl_->fetcher.AddPollFds(fds, timeoutMs);
}

void TorrentBackend::Poll() {
    if (!impl_->session) return;
    std::vector<TransferId> ids;
    try {
        impl_->Drain();
        std::vector<lt::alert*> alerts;
        impl_->session->pop_alerts(&alerts);
        for (lt::alert* a : alerts) impl_->HandleAlert(a);
        impl_->fetcher.Poll();
        for (PieceFetcher::Result& result : impl_->fetcher.TakeFinished())
            impl_->OnServerPiece(result);
        const std::int64_t now = MonotonicMs();
        for (auto& [id, t] : impl_->transfers) {
            if (t->phase == Transfer::Phase::kWaiting) impl_->Begin(t.get(), now);
            if (t->phase == Transfer::Phase::kRunning) impl_->Sample(t.get(), now);
            if (t->phase == Transfer::Phase::kRunning) impl_->Refill(t.get(), now);
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
