// Where the service keeps its data: the per-user application-data folder,
// then "Norvex", then "tlxDownloadV32". Folders end with the separator.
#pragma once

#include <string>

// The application-data folder followed by "Norvex/" (just "Norvex/" when the
// application-data folder is unknown, so paths become relative).
std::string ServiceBaseFolder();
// ServiceBaseFolder() followed by "tlxDownloadV32/".
std::string ServiceDataFolder();
