// Every test program runs with its own application-data folder, so the
// service log and data never touch the user's real ones, and never leaves
// the machine.
#include <gtest/gtest.h>

#include <cstdlib>

#include "service/class_factory.h"
#include "service/job_manager.h"
#include "tests/support/temp_folder.h"

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    InstallServiceClassFactory();
    TempFolder appData;
    setenv("XDG_DATA_HOME", appData.Path().c_str(), 1);
    // Hermetic defaults: the network counts as up, and reports go to a
    // loopback port where nothing listens unless a test starts a server.
    setenv("TLX_NETWORK", "up", 0);
    setenv("TLX_REPORT_SERVER", "127.0.0.1:1", 0);
    // A proxy of the machine the tests run on would carry their loopback
    // requests somewhere else; the tests that use one set it themselves.
    for (const char* name : {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY",
                             "no_proxy", "NO_PROXY", "HTTP_PROXY"})
        unsetenv(name);
    // No engine link unless a test brings one: the services of the tests
    // download directly and never ask an update server.
    CJobManager::SetDefaultLauncherFactoryForTesting({});
    return RUN_ALL_TESTS();
}
