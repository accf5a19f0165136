#include "engine/engine_port.h"

#include <cstdlib>
#include <string_view>

#include "service/base/service_log.h"

std::uint16_t EnginePort() {
    const char* value = std::getenv(kEnginePortVariable);
    if (!value || !*value) return kDefaultEnginePort;
    const std::string_view text(value);
    std::uint32_t port = 0;
    bool ok = text.size() <= 5;
    for (char c : text) {
        if (c < '0' || c > '9') ok = false;
        if (ok) port = port * 10 + static_cast<std::uint32_t>(c - '0');
    }
    if (!ok || port == 0 || port > 65535) {
        WriteServiceLogFormat("[OstrelLib] Ignoring %s=%.64s (expected a port)",
                              kEnginePortVariable, value);
        return kDefaultEnginePort;
    }
    return static_cast<std::uint16_t>(port);
}
