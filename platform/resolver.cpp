#include "platform/resolver.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>

#include "platform/text.h"

namespace plat {
namespace {

struct Seams {
    std::mutex mutex;
    Resolver replacement;
    std::map<std::string, std::uint32_t> overrides;  // keyed by the lower-case name
};

// Never destroyed: a worker thread that was abandoned at shutdown may still
// be resolving while static destructors run.
Seams& TheSeams() {
    static Seams* const seams = new Seams;
    return *seams;
}

void AppendUnique(std::vector<std::uint32_t>* list, std::uint32_t addressNet) {
    if (std::find(list->begin(), list->end(), addressNet) == list->end()) {
        list->push_back(addressNet);
    }
}

std::vector<std::uint32_t> SystemResolve(const std::string& host) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) return {};
    // A name listed twice in the hosts file comes back twice; callers keep
    // per-address state, so one copy of each is what they want.
    std::vector<std::uint32_t> addresses;
    for (const addrinfo* item = found; item != nullptr; item = item->ai_next) {
        if (item->ai_family != AF_INET || item->ai_addr == nullptr ||
            item->ai_addrlen < sizeof(sockaddr_in)) {
            continue;
        }
        sockaddr_in address{};
        std::memcpy(&address, item->ai_addr, sizeof address);
        AppendUnique(&addresses, address.sin_addr.s_addr);
    }
    freeaddrinfo(found);
    return addresses;
}

}  // namespace

std::vector<std::uint32_t> ResolveIPv4(const std::string& host) {
    // A name with an embedded NUL would be cut short by the C interfaces and
    // resolve as a different name.
    if (host.empty() || host.find('\0') != std::string::npos) return {};
    in_addr literal{};
    if (inet_pton(AF_INET, host.c_str(), &literal) == 1) return {literal.s_addr};

    Resolver replacement;
    {
        Seams& seams = TheSeams();
        std::lock_guard<std::mutex> hold(seams.mutex);
        auto fixed = seams.overrides.find(AsciiLower(host));
        if (fixed != seams.overrides.end()) return {fixed->second};
        replacement = seams.replacement;
    }
    if (!replacement) return SystemResolve(host);
    std::vector<std::uint32_t> scripted = replacement(host);
    std::vector<std::uint32_t> addresses;
    for (std::uint32_t address : scripted) AppendUnique(&addresses, address);
    return addresses;
}

void SetResolverForTesting(Resolver resolver) {
    Seams& seams = TheSeams();
    std::lock_guard<std::mutex> hold(seams.mutex);
    seams.replacement = std::move(resolver);
}

void SetHostOverrideForTesting(const std::string& host, std::uint32_t addressNet) {
    Seams& seams = TheSeams();
    std::lock_guard<std::mutex> hold(seams.mutex);
    seams.overrides[AsciiLower(host)] = addressNet;
}

void ClearHostOverridesForTesting() {
    Seams& seams = TheSeams();
    std::lock_guard<std::mutex> hold(seams.mutex);
    seams.overrides.clear();
}

}  // namespace plat
