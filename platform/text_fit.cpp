#include "platform/text_fit.h"

#include <cstdint>

namespace plat {

namespace {

constexpr char16_t kEllipsis[] = u"\u2026";

bool IsCounter(const std::u16string& inside) {
    const std::size_t slash = inside.find(u'/');
    if (slash == std::u16string::npos || slash == 0 || slash + 1 == inside.size()) return false;
    for (std::size_t i = 0; i < inside.size(); ++i)
        if (i != slash && (inside[i] < u'0' || inside[i] > u'9')) return false;
    return true;
}

}  // namespace

std::u16string KeptTail(const std::u16string& line) {
    if (line.empty() || line.back() != u']') return {};
    const std::size_t open = line.rfind(u" [");
    if (open == std::u16string::npos) return {};
    return IsCounter(line.substr(open + 2, line.size() - open - 3)) ? line.substr(open) : std::u16string();
}

std::u16string FitMiddleKeepingTail(const std::u16string& line, int width, const TextMeasure& measure) {
    if (measure(line) <= width) return line;
    const std::u16string tail = KeptTail(line);
    const std::u16string head = line.substr(0, line.size() - tail.size());
    const int room = width - measure(tail);
    if (room < measure(kEllipsis)) {
        // Not even the counter and an ellipsis: what of the counter fits.
        std::u16string shown = tail;
        while (!shown.empty() && measure(shown) > width) shown.erase(0, 1);
        return shown;
    }
    // The most characters of the head, split between its start and its
    // end, that fit with the ellipsis between them.
    std::size_t low = 0;
    std::size_t high = head.size();
    auto shortened = [&](std::size_t keep) {
        const std::size_t front = (keep + 1) / 2;
        const std::size_t back = keep - front;
        return head.substr(0, front) + kEllipsis + head.substr(head.size() - back);
    };
    while (low < high) {
        const std::size_t middle = (low + high + 1) / 2;
        if (measure(shortened(middle)) <= room)
            low = middle;
        else
            high = middle - 1;
    }
    return shortened(low) + tail;
}

int TerminalColumnsOf(char32_t c) {
    const auto u = static_cast<std::uint32_t>(c);
    if ((u >= 0x0300 && u <= 0x036F) || (u >= 0x200B && u <= 0x200F)) return 0;
    const bool wide = (u >= 0x1100 && u <= 0x115F) || (u >= 0x2E80 && u <= 0x303E) ||
                      (u >= 0x3041 && u <= 0x33FF) || (u >= 0x3400 && u <= 0x4DBF) ||
                      (u >= 0x4E00 && u <= 0x9FFF) || (u >= 0xA000 && u <= 0xA4CF) ||
                      (u >= 0xAC00 && u <= 0xD7A3) || (u >= 0xF900 && u <= 0xFAFF) ||
                      (u >= 0xFE30 && u <= 0xFE4F) || (u >= 0xFF00 && u <= 0xFF60) ||
                      (u >= 0xFFE0 && u <= 0xFFE6) || (u >= 0x20000 && u <= 0x3FFFD);
    return wide ? 2 : 1;
}

int TerminalColumnsOf(const std::u16string& text) {
    int columns = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        // A surrogate pair is one character beyond the first plane.
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        }
        columns += TerminalColumnsOf(c);
    }
    return columns;
}

}  // namespace plat
