#include "controls/progress_rules.h"

#include <algorithm>
#include <cstdlib>

namespace {

// A format from the owner is never handed to printf: only %d and %% mean
// something, so a stray conversion cannot read past the arguments.
std::string FillFormat(const std::string& format, int value) {
    std::string text;
    bool used = false;
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format[i] == '%' && i + 1 < format.size()) {
            if (format[i + 1] == '%') {
                text += '%';
                ++i;
                continue;
            }
            if (format[i + 1] == 'd' && !used) {
                text += std::to_string(value);
                used = true;
                ++i;
                continue;
            }
        }
        text += format[i];
    }
    return text;
}

}  // namespace

int ProgressFillPercent(int lower, int upper, int position) {
    const long long range = static_cast<long long>(upper) - lower;
    if (range <= 0) return 0;
    const long long part = std::llabs(static_cast<long long>(lower)) + position;
    return static_cast<int>(std::clamp(part * 100 / range, 0LL, 100LL));
}

int ProgressTextPercent(int lower, int upper, int position) {
    const long long range = static_cast<long long>(upper) - lower;
    if (range <= 0) return 0;
    const long long part = static_cast<long long>(position) - lower;
    return static_cast<int>(std::clamp(part * 100 / range, 0LL, 100LL));
}

int ProgressFillWidth(int controlWidth, int lower, int upper, int position) {
    if (controlWidth <= 2) return 0;
    int fill = static_cast<int>(controlWidth / 100.0 * ProgressFillPercent(lower, upper, position));
    // Drawn from x = 1, a fill wider than this would cover the last column.
    fill = std::min(fill, controlWidth - 2);
    return std::max(fill, 0);
}

std::string ProgressText(const std::string& format, ProgressTextStyle style, int lower, int upper,
                         int position) {
    if (!format.empty()) return FillFormat(format, ProgressTextPercent(lower, upper, position));
    switch (style) {
        case ProgressTextStyle::kPercent:
            return FillFormat("%d%%", ProgressTextPercent(lower, upper, position));
        case ProgressTextStyle::kPosition:
            return std::to_string(position);
        case ProgressTextStyle::kNone:
            break;
    }
    return std::string();
}
