// Where the service keeps its data: the per-user application-data folder,
// then "Norvex", then "tlxDownloadV32". Folders end with the separator.
#pragma once

#include <string>

// The application-data folder followed by "Norvex/". When no application-data
// folder is known at all the result is "" (and so is every path below it):
// the service never writes relative to the folder it was started in.
std::string ServiceBaseFolder();
// ServiceBaseFolder() followed by "tlxDownloadV32/".
std::string ServiceDataFolder();
