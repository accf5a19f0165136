#include "launcher/presentation.h"

#include <algorithm>
#include <cstdio>

#include "platform/text.h"

namespace {

constexpr double kStep = 0.0009765625;  // 1 / 1024, exact in binary
constexpr int kScalings = 4;

std::u16string Print(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return plat::AnsiToWide(text);
}

// The first form whose scaled value is below 1024, or none.
std::u16string Scaled(double value, const char* const (&forms)[kScalings + 1]) {
    for (int step = 0; step <= kScalings; ++step) {
        if (value < 1024.0) return Print(forms[step], value);
        value *= kStep;
    }
    return std::u16string();
}

}  // namespace

std::u16string FormatSize(double bytes) {
    static const char* const kForms[] = {"%0.f Bytes", "%.2f KB", "%.2f MB", "%.2f GB", "%.2f TB"};
    return Scaled(bytes, kForms);
}

std::u16string FormatSpeed(double bytesPerSecond) {
    static const char* const kForms[] = {"%0.f Bytes", "%0.2f KB/Sec", "%0.2f MB/Sec",
                                         "%0.2f GB/Sec", "%0.2f TB/Sec"};
    if (!(bytesPerSecond > 0.0)) return u"0.0 Bytes";
    std::u16string text = Scaled(bytesPerSecond, kForms);
    return text.empty() ? u"0.0 Bytes" : text;
}

std::u16string FormatDuration(std::int64_t seconds) {
    if (seconds < 0) seconds = 0;
    char text[40];
    std::snprintf(text, sizeof text, "%02lld:%02d:%02d", static_cast<long long>(seconds / 3600),
                  static_cast<int>(seconds / 60 % 60), static_cast<int>(seconds % 60));
    return plat::AnsiToWide(text);
}

int GraphSample(std::int32_t bytesPerSecond) {
    // 64-bit: eight times a rate above 256 MiB/s no longer fits 32 bits.
    const std::int64_t megabits = static_cast<std::int64_t>(bytesPerSecond) * 8 / 1048576;
    return static_cast<int>(std::clamp<std::int64_t>(megabits, 0, 100));
}
