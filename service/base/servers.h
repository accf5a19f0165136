// The servers the system addresses. Each host is fixed at build time
// (server_hosts.h) and may be replaced at run time by an environment
// variable holding "host" or "host:port", so that demos and tests can point
// the program at loopback servers:
//
//   TLX_PATCH_SERVER    publisher's patch server (file list, banner)
//   TLX_CDN_SERVER      maker's file CDN (banner pattern)
//   TLX_UPDATE_SERVER   maker's update server (engine updates)
//
// A value that is not of that form (an empty host, a port that is not a
// decimal number from 1 to 65535, or any character that is not a letter,
// digit, "." "-" or "_" in the host) is ignored as a whole, so that it can
// never change more of a URL than its host.
//
// Any thread; reads the environment.
#pragma once

#include <string>

enum class ServerKind { kPatch, kCdn, kUpdate };

// "host" or "host:port" for the kind: `overrideValue` when it is valid,
// else the build-time host. No environment access.
std::string ServerHostFrom(ServerKind kind, const char* overrideValue);
// The same with the kind's environment variable; an ignored value leaves a
// line in the service log.
std::string ServerHost(ServerKind kind);
