#include "peer_config.h"

#include "engine_config.h"

#include <arpa/inet.h>

#include <cstdlib>
#include <cstring>

namespace engine {
namespace {

constexpr std::size_t kMaxPeers = 64;

bool IsNumericAddress(const std::string& address) {
    unsigned char buffer[16];
    return inet_pton(AF_INET, address.c_str(), buffer) == 1 ||
           inet_pton(AF_INET6, address.c_str(), buffer) == 1;
}

std::string Shown(const char* value) {
    return std::string(value).substr(0, 64);
}

void ReadSeconds(const char* name, int max, int* seconds, std::vector<std::string>* problems) {
    const char* text = std::getenv(name);
    if (!text) return;
    std::uint64_t v = 0;
    if (ParseDecimal(text, static_cast<std::uint64_t>(max), &v) && v > 0) {
        *seconds = static_cast<int>(v);
    } else {
        problems->push_back(std::string("Ignoring ") + name + "=" + Shown(text) +
                            " (expected seconds)");
    }
}

}  // namespace

static bool ParseEndpoint(const std::string& text, bool allowAnyPort, PeerEndpoint* endpoint) {
    std::string address;
    std::string port;
    if (!text.empty() && text.front() == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':')
            return false;
        address = text.substr(1, close - 1);
        port = text.substr(close + 2);
        // Bracketed means IPv6.
        unsigned char buffer[16];
        if (inet_pton(AF_INET6, address.c_str(), buffer) != 1) return false;
    } else {
        const std::size_t colon = text.rfind(':');
        if (colon == std::string::npos) return false;
        address = text.substr(0, colon);
        port = text.substr(colon + 1);
        if (address.find(':') != std::string::npos) return false;  // IPv6 needs brackets
    }
    std::uint64_t value = 0;
    if (!IsNumericAddress(address) || !ParseDecimal(port.c_str(), 65535, &value) ||
        (value == 0 && !allowAnyPort))
        return false;
    endpoint->address = address;
    endpoint->port = static_cast<std::uint16_t>(value);
    return true;
}

bool ParsePeerEndpoint(const std::string& text, PeerEndpoint* endpoint) {
    return ParseEndpoint(text, false, endpoint);
}

bool ParseListenEndpoint(const std::string& text, PeerEndpoint* endpoint) {
    return ParseEndpoint(text, true, endpoint);
}

bool ParsePeerList(const std::string& list, std::vector<PeerEndpoint>* peers,
                   std::vector<std::string>* problems) {
    bool allGood = true;
    std::size_t start = 0;
    while (start <= list.size()) {
        std::size_t comma = list.find(',', start);
        if (comma == std::string::npos) comma = list.size();
        const std::string item = list.substr(start, comma - start);
        start = comma + 1;
        if (item.empty()) continue;
        PeerEndpoint endpoint;
        if (!ParsePeerEndpoint(item, &endpoint)) {
            allGood = false;
            problems->push_back("Ignoring peer " + item.substr(0, 64) +
                                " (expected address:port with a numeric address)");
        } else if (peers->size() >= kMaxPeers) {
            allGood = false;
            problems->push_back("Ignoring peer " + item.substr(0, 64) + " (too many peers)");
        } else {
            peers->push_back(endpoint);
        }
    }
    return allGood;
}

PeerConfig ReadPeerConfig() {
    PeerConfig config;
    if (const char* peers = std::getenv("TLX_ENGINE_PEERS"))
        ParsePeerList(peers, &config.peers, &config.problems);
    if (const char* listen = std::getenv("TLX_ENGINE_PEER_LISTEN")) {
        if (ParseListenEndpoint(listen, &config.listen)) {
            config.listenGiven = true;
        } else {
            config.problems.push_back("Ignoring TLX_ENGINE_PEER_LISTEN=" + Shown(listen) +
                                      " (expected address:port with a numeric address)");
        }
    }
    if (const char* lsd = std::getenv("TLX_ENGINE_LSD")) {
        if (std::strcmp(lsd, "0") == 0) {
            config.localDiscovery = false;
        } else if (std::strcmp(lsd, "1") == 0) {
            config.localDiscovery = true;
        } else {
            config.problems.push_back("Ignoring TLX_ENGINE_LSD=" + Shown(lsd) +
                                      " (expected 0 or 1)");
        }
    }
    if (const char* cap = std::getenv("TLX_ENGINE_UPLOAD_CAP")) {
        std::uint64_t v = 0;
        if (ParseDecimal(cap, 1ull << 40, &v)) {
            config.uploadCap = static_cast<std::int64_t>(v);
        } else {
            config.problems.push_back("Ignoring TLX_ENGINE_UPLOAD_CAP=" + Shown(cap) +
                                      " (expected bytes per second)");
        }
    }
    ReadSeconds("TLX_ENGINE_SEED_GRACE", 86400, &config.seedGraceSeconds, &config.problems);
    ReadSeconds("TLX_ENGINE_PEER_STALL", 86400, &config.stallSeconds, &config.problems);
    ReadSeconds("TLX_ENGINE_PEER_WINDOW", 3600, &config.peerWindowSeconds, &config.problems);
    return config;
}

}  // namespace engine
