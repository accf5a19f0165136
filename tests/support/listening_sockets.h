// Whether a given process has come to listen, read from /proc instead of by
// connecting: it works for a process in another network namespace (which the
// test cannot connect to), it makes no connection that a server would log,
// and it tells the server's own socket from one that another program took on
// the same port.
#pragma once

#include <sys/types.h>

#include <string>

// True when `pid` holds a TCP socket listening on `port` (IPv4).
bool ListensOnTcp(pid_t pid, int port);
// True when `pid` holds a unix stream socket listening on `path`.
bool ListensOnUnix(pid_t pid, const std::string& path);
