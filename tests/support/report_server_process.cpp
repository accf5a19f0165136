#include "tests/support/report_server_process.h"

#include <cstdlib>

bool ReportServerProcess::Start(int port) {
    if (!process_.Start(program_, {"--port", std::to_string(port)})) return false;
    if (!process_.WaitForLines(1, 5000)) return false;
    const std::string& first = process_.Lines()[0];  // {"port":N}
    port_ = std::atoi(first.c_str() + first.find(':') + 1);
    return port_ > 0;
}

std::vector<std::string> ReportServerProcess::Records() {
    const std::vector<std::string>& lines = process_.Lines();
    return {lines.begin() + (lines.empty() ? 0 : 1), lines.end()};
}

std::string ReportLine(const std::string& key, const std::string& url, long long bytes) {
    return "{\"key\":\"" + key + "\",\"url\":\"" + url + "\",\"bytes\":" + std::to_string(bytes) +
           "}";
}
