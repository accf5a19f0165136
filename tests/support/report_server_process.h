// tools/report-server as a child process on a port of its own, for tests
// that check what the report server receives.
#pragma once

#include <string>
#include <vector>

#include "tests/support/child_process.h"

class ReportServerProcess {
public:
    explicit ReportServerProcess(std::string program) : program_(std::move(program)) {}
    // `port` 0 lets the server pick one.
    bool Start(int port = 0);
    int Port() const { return port_; }
    // The record lines printed so far.
    std::vector<std::string> Records();

private:
    std::string program_;
    ChildProcess process_;
    int port_ = 0;
};

// A record line as the server prints it.
std::string ReportLine(const std::string& key, const std::string& url, long long bytes);
