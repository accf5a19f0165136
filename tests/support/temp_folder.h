// A fresh folder below the system's temporary folder, removed with its
// contents when the object goes.
#pragma once

#include <string>

class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    // The folder, ending with "/".
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};
