#pragma once

namespace plat::detail {

// Maps an errno value to the Winsock error number a Windows program would see.
int WsaErrorFromErrno(int err);

}  // namespace plat::detail
