// The stand-in for per-machine registry values: a small file store under
// ConfigFolder() (system_folders.h). A key is a folder path below it
// ("Norvex Inc./DownloadPath"), a value is one file in that folder whose
// whole content is the value's text (UTF-8, no terminator), so that other
// programs can read it with any tool.
#pragma once

#include <string>
#include <string_view>

namespace plat {

// Creates the key's folders when missing and replaces the value atomically
// (a temporary file in the same folder, flushed, then renamed over it), so a
// reader sees the old text or the new one, never a mix. False when the key
// or name is unsafe (empty, absolute, a "." or ".." component, a "/" in the
// name), when there is no configuration folder, or on any file failure.
bool WriteConfigValue(std::string_view key, std::string_view name, std::string_view value);

// The value's text; false when it does not exist or the key or name is unsafe.
bool ReadConfigValue(std::string_view key, std::string_view name, std::string* value);

}  // namespace plat
