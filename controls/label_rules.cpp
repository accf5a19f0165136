#include "controls/label_rules.h"

#include <cwctype>

namespace {

constexpr wchar_t kEllipsis[] = L"\u2026";

bool IsCounter(const std::wstring& inside) {
    const std::size_t slash = inside.find(L'/');
    if (slash == std::wstring::npos || slash == 0 || slash + 1 == inside.size()) return false;
    for (std::size_t i = 0; i < inside.size(); ++i)
        if (i != slash && !std::iswdigit(inside[i])) return false;
    return true;
}

}  // namespace

std::wstring KeptTail(const std::wstring& line) {
    if (line.empty() || line.back() != L']') return {};
    const std::size_t open = line.rfind(L" [");
    if (open == std::wstring::npos) return {};
    return IsCounter(line.substr(open + 2, line.size() - open - 3)) ? line.substr(open) : std::wstring();
}

std::wstring FitMiddleKeepingTail(const std::wstring& line, int width, const TextMeasure& measure) {
    if (measure(line) <= width) return line;
    const std::wstring tail = KeptTail(line);
    const std::wstring head = line.substr(0, line.size() - tail.size());
    const int room = width - measure(tail);
    if (room < measure(kEllipsis)) {
        // Not even the counter and an ellipsis: what of the counter fits.
        std::wstring shown = tail;
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

int FittingPixelSize(int basePixels, int minPixels, int maxHeight,
                     const std::function<int(int pixels)>& heightAt) {
    for (int pixels = basePixels; pixels > minPixels; --pixels)
        if (heightAt(pixels) <= maxHeight) return pixels;
    return minPixels;
}
