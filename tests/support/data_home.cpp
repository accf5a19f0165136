#include "tests/support/data_home.h"

#include <cstdlib>

#include "service/base/service_log.h"

ScopedDataHome::ScopedDataHome() {
    const char* old = std::getenv("XDG_DATA_HOME");
    saved_ = old ? old : "";
    setenv("XDG_DATA_HOME", folder_.Path().c_str(), 1);
    ForgetServiceLogPathForTesting();
}

ScopedDataHome::~ScopedDataHome() {
    setenv("XDG_DATA_HOME", saved_.c_str(), 1);
    ForgetServiceLogPathForTesting();
}
