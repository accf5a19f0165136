// Shell folders. The per-user application-data folder is $XDG_DATA_HOME,
// else $HOME/.local/share; it is returned with one trailing separator, or
// empty when neither variable is set.
#pragma once

#include <string>

namespace plat {

std::string AppDataFolder();

}  // namespace plat
