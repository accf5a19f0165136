#include "transfers/report_server_endpoint.h"

#include <cstdlib>
#include <optional>
#include <string_view>

#include "http/agent_interfaces.h"
#include "server_hosts.h"
#include "service/base/service_log.h"

namespace {

// A decimal port from 1 to 65535; nothing for anything else (signs, spaces,
// hex, an empty text), so that a malformed value is recognised as such.
std::optional<std::uint16_t> ParsePort(std::string_view text) {
    if (text.empty() || text.size() > 5) return std::nullopt;
    std::uint32_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<std::uint32_t>(c - '0');
    }
    if (value == 0 || value > 65535) return std::nullopt;
    return static_cast<std::uint16_t>(value);
}

// The replaced endpoint, or nothing when the value is malformed.
std::optional<ReportServerAddress> ApplyOverride(std::string_view value,
                                                 const ReportServerAddress& builtIn) {
    ReportServerAddress result = builtIn;
    const std::size_t colon = value.rfind(':');
    const std::string_view host = value.substr(0, colon);
    if (colon != std::string_view::npos) {
        std::optional<std::uint16_t> port = ParsePort(value.substr(colon + 1));
        if (!port) return std::nullopt;
        result.port = *port;
    }
    if (!host.empty()) result.host = std::string(host);
    return result;
}

}  // namespace

ReportServerAddress ReportServerEndpointFrom(const char* overrideValue) {
    const ReportServerAddress builtIn{kBuildReportServer, kAgentReportPort};
    if (overrideValue == nullptr || *overrideValue == '\0') return builtIn;
    return ApplyOverride(overrideValue, builtIn).value_or(builtIn);
}

ReportServerAddress ReportServerEndpoint() {
    const char* value = std::getenv(kReportServerVariable);
    const ReportServerAddress builtIn{kBuildReportServer, kAgentReportPort};
    if (value == nullptr || *value == '\0') return builtIn;
    std::optional<ReportServerAddress> replaced = ApplyOverride(value, builtIn);
    if (!replaced) {
        WriteServiceLogFormat("[OstrelLib] Ignoring %s=%.64s (expected host:port)",
                              kReportServerVariable, value);
        return builtIn;
    }
    return *replaced;
}
