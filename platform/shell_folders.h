// Shell folders. The per-user application-data folder is $XDG_DATA_HOME,
// else $HOME/.local/share, else the account's home from the password
// database followed by .local/share; it is returned with one trailing
// separator, and is empty only when none of them is known.
#pragma once

#include <string>

namespace plat {

std::string AppDataFolder();

}  // namespace plat
