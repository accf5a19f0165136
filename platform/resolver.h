// Host name resolution for outgoing connections: IPv4 only, as the service's
// sockets are IPv4 only.
//
// Tests and demos cannot rely on real names resolving, so two seams sit in
// front of the system resolver: a table of fixed host addresses (to point a
// server name at 127.0.0.1) and a replacement resolver (to script answers).
// All functions are safe to call from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace plat {

// The IPv4 addresses of `host` in network byte order, in the order the
// system gives them, without repeats; empty when the name does not resolve.
// A dotted IPv4 literal ("10.0.0.1") is its own address and never reaches a
// resolver. Otherwise the override table is asked first (names compare
// without regard to ASCII case), then the replacement resolver when one is
// set, else the system resolver. Blocks while the system resolver works.
std::vector<std::uint32_t> ResolveIPv4(const std::string& host);

using Resolver = std::function<std::vector<std::uint32_t>(const std::string&)>;

// Test seam: replaces the system resolver; null restores it. The
// replacement is called without any lock held, so it may block or call back
// into this module.
void SetResolverForTesting(Resolver resolver);

// Test seam: `host` resolves to `addressNet` (network byte order) alone,
// whatever resolver is in place, until the table is cleared.
void SetHostOverrideForTesting(const std::string& host, std::uint32_t addressNet);
void ClearHostOverridesForTesting();

}  // namespace plat
