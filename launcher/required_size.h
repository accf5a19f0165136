// The required size: the total of the file list as the size check found
// it, one value for the whole process. The main window writes it when the
// check ends; the folder choice shows it. 0 until then.
#pragma once

#include <cstdint>

std::int64_t RequiredSize();
void SetRequiredSize(std::int64_t bytes);
