#include "engine_config.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace engine {

bool ParseDecimal(const char* text, std::uint64_t max, std::uint64_t* value) {
    if (!text || *text == '\0' || std::strlen(text) > 20) return false;
    std::uint64_t v = 0;
    for (const char* p = text; *p; ++p) {
        if (*p < '0' || *p > '9') return false;
        const std::uint64_t digit = static_cast<std::uint64_t>(*p - '0');
        if (v > (max - digit) / 10) return false;
        v = v * 10 + digit;
    }
    *value = v;
    return true;
}

bool FaultSwitches::Any() const {
    return fallback || stall || silent || diskFull || network || jobFailed || resume || badFrame ||
           outsidePath || partialEnd || claimDone || dieAfterBytes != 0;
}

bool ParsePort(const char* text, std::uint16_t* port) {
    std::uint64_t v = 0;
    if (!ParseDecimal(text, 65535, &v) || v == 0) return false;
    *port = static_cast<std::uint16_t>(v);
    return true;
}

bool ParseFaults(const std::string& list, FaultSwitches* f, std::vector<std::string>* problems) {
    bool allKnown = true;
    std::size_t start = 0;
    while (start <= list.size()) {
        std::size_t comma = list.find(',', start);
        if (comma == std::string::npos) comma = list.size();
        const std::string name = list.substr(start, comma - start);
        start = comma + 1;
        if (name.empty()) continue;
        constexpr const char* kDieAfter = "die-after:";
        if (name == "fallback")
            f->fallback = true;
        else if (name == "stall")
            f->stall = true;
        else if (name == "silent")
            f->silent = true;
        else if (name == "disk-full")
            f->diskFull = true;
        else if (name == "network")
            f->network = true;
        else if (name == "job-failed")
            f->jobFailed = true;
        else if (name == "resume")
            f->resume = true;
        else if (name == "bad-frame")
            f->badFrame = true;
        else if (name == "outside-path")
            f->outsidePath = true;
        else if (name == "partial-end")
            f->partialEnd = true;
        else if (name == "claim-done")
            f->claimDone = true;
        else if (name.rfind(kDieAfter, 0) == 0) {
            std::uint64_t n = 0;
            if (ParseDecimal(name.c_str() + std::strlen(kDieAfter), UINT64_MAX, &n) && n > 0) {
                f->dieAfterBytes = n;
            } else {
                allKnown = false;
                problems->push_back("Ignoring fault switch " + name.substr(0, 64) +
                                    " (expected die-after:BYTES)");
            }
        } else {
            allKnown = false;
            problems->push_back("Ignoring unknown fault switch " + name.substr(0, 64));
        }
    }
    return allKnown;
}

EngineConfig ReadEngineConfig() {
    EngineConfig config;
    if (const char* port = std::getenv("TLX_ENGINE_PORT")) {
        if (!ParsePort(port, &config.port)) {
            config.problems.push_back("Ignoring TLX_ENGINE_PORT=" +
                                      std::string(port).substr(0, 64) + " (expected a port)");
        }
    }
    if (const char* idle = std::getenv("TLX_ENGINE_IDLE_EXIT")) {
        std::uint64_t seconds = 0;
        if (ParseDecimal(idle, 86400, &seconds) && seconds > 0) {
            config.idleExitSeconds = static_cast<int>(seconds);
        } else {
            config.problems.push_back("Ignoring TLX_ENGINE_IDLE_EXIT=" +
                                      std::string(idle).substr(0, 64) + " (expected seconds)");
        }
    }
    if (const char* faults = std::getenv("TLX_ENGINE_FAULT"))
        ParseFaults(faults, &config.faults, &config.problems);
    return config;
}

}  // namespace engine
