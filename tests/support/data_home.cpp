#include "tests/support/data_home.h"

#include <cstdlib>

#include "service/base/service_log.h"

ScopedDataHome::ScopedDataHome() : variable_("XDG_DATA_HOME", folder_.Path().c_str()) {
    ForgetServiceLogPathForTesting();
}

ScopedDataHome::~ScopedDataHome() {
    ForgetServiceLogPathForTesting();
}
