// Points the service's application-data folder (and so its log) at a fresh
// temporary folder for the life of the object, and back afterwards.
#pragma once

#include <string>

#include "tests/support/scoped_env.h"
#include "tests/support/temp_folder.h"

class ScopedDataHome {
public:
    ScopedDataHome();
    ~ScopedDataHome();
    ScopedDataHome(const ScopedDataHome&) = delete;
    ScopedDataHome& operator=(const ScopedDataHome&) = delete;

    const std::string& Path() const { return folder_.Path(); }

private:
    TempFolder folder_;
    ScopedEnv variable_;
};
