// Folders the launcher needs that Windows names through the shell, mapped
// onto the Linux conventions:
//
//   Program Files (CSIDL_PROGRAM_FILES)   /opt/
//   the drive of Program Files            the user's home folder
//   the registry's per-machine values     $XDG_CONFIG_HOME, else ~/.config
//   the named kernel objects' namespace   $XDG_RUNTIME_DIR, else the temp folder
//
// Every folder is returned with exactly one trailing separator except the
// drive, which (like "C:") has none, so callers can append "/name/".
#pragma once

#include <string>

namespace plat {

std::string ProgramFilesFolder();
// $HOME, else the account's home from the password database, else the temp
// folder; without a trailing separator ("" stands for the root "/").
std::string ProgramFilesDrive();
std::string ConfigFolder();
std::string RuntimeFolder();
// $TMPDIR, else /tmp.
std::string TempFolderPath();

}  // namespace plat
