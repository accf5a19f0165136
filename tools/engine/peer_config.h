// How the peer back end behaves, read from the environment at start: which
// peers to call (tests and demos name them; players find each other on
// their LAN), where to listen, the upload cap, how long finished files keep
// seeding and how long a file may go without progress before its job is
// handed back. Every value has a default; a malformed one is reported in
// `problems` and the default kept.
//
// Plain data, parsed once on the loop thread before the back end exists.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace engine {

// Built-in choices, which a publisher's build may change.
#ifndef ZK4_ENGINE_LSD_DEFAULT
#define ZK4_ENGINE_LSD_DEFAULT 1
#endif
#ifndef ZK4_ENGINE_DHT_DEFAULT
#define ZK4_ENGINE_DHT_DEFAULT 0
#endif
#ifndef ZK4_ENGINE_PORT_MAPPING_DEFAULT
#define ZK4_ENGINE_PORT_MAPPING_DEFAULT 0
#endif

inline constexpr int kDefaultSeedGraceSeconds = 60;
inline constexpr int kDefaultStallSeconds = 120;
// How long peers have, from the first one that answers, before pieces they
// have may also come from the file servers when they deliver too slowly: a
// client unchokes a newcomer at its next round (transmission: every 10 s),
// and the first piece needs a round trip after that.
inline constexpr int kDefaultPeerWindowSeconds = 12;

struct PeerEndpoint {
    std::string address;  // numeric IPv4 or IPv6, without brackets
    std::uint16_t port = 0;
};

struct PeerConfig {
    // TLX_ENGINE_PEERS=host:port,...: peers every peer transfer calls.
    std::vector<PeerEndpoint> peers;
    // TLX_ENGINE_PEER_LISTEN=address:port (port 0: the system's choice);
    // not given = every interface, a port of the system's choosing (local
    // discovery announces it).
    PeerEndpoint listen;
    bool listenGiven = false;
    // TLX_ENGINE_LSD=0|1 (local service discovery on the LAN).
    bool localDiscovery = ZK4_ENGINE_LSD_DEFAULT != 0;
    // DHT and UPnP/NAT-PMP come only from the build.
    bool dht = ZK4_ENGINE_DHT_DEFAULT != 0;
    bool portMapping = ZK4_ENGINE_PORT_MAPPING_DEFAULT != 0;
    // TLX_ENGINE_UPLOAD_CAP=B/s; 0 = a quarter of the receive cap.
    std::int64_t uploadCap = 0;
    // TLX_ENGINE_SEED_GRACE=seconds a finished file keeps seeding after
    // the last running transfer.
    int seedGraceSeconds = kDefaultSeedGraceSeconds;
    // TLX_ENGINE_PEER_STALL=seconds without verified progress before a
    // file's job is handed back.
    int stallSeconds = kDefaultStallSeconds;
    // TLX_ENGINE_PEER_WINDOW=seconds peers have before the file servers may
    // send pieces that peers have too.
    int peerWindowSeconds = kDefaultPeerWindowSeconds;
    std::vector<std::string> problems;
};

PeerConfig ReadPeerConfig();

// Exposed for tests of the parsing. "1.2.3.4:5" or "[::1]:5"; no names,
// so nothing is looked up.
bool ParsePeerEndpoint(const std::string& text, PeerEndpoint* endpoint);
// The same with port 0 allowed.
bool ParseListenEndpoint(const std::string& text, PeerEndpoint* endpoint);
bool ParsePeerList(const std::string& list, std::vector<PeerEndpoint>* peers,
                   std::vector<std::string>* problems);

}  // namespace engine
