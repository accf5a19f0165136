// Every test program runs with its own application-data folder, so the
// service log and data never touch the user's real ones.
#include <gtest/gtest.h>

#include <cstdlib>

#include "tests/support/temp_folder.h"

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    TempFolder appData;
    setenv("XDG_DATA_HOME", appData.Path().c_str(), 1);
    return RUN_ALL_TESTS();
}
