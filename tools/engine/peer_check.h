// Who is at the other end of an accepted loopback connection. Another local
// user must not be able to hand this engine jobs (it writes where a job
// says), so connections from other uids are closed at once.
#pragma once

#include <string>

namespace engine {

// True when the peer of the connected socket `fd` belongs to our effective
// uid; *peer gets "address:port" for the log either way.
bool PeerIsOurUser(int fd, std::string* peer);

}  // namespace engine
