#include "controls/graph_rules.h"

#include <algorithm>

void CGraphSamples::Push(int sample) {
    std::shift_left(samples_.begin(), samples_.end(), 1);
    samples_.back() = std::clamp(sample, 0, 100);
}

int GraphColumnHeight(int sample, int clientHeight) {
    const int height = static_cast<int>(std::clamp(sample, 0, 100) / 100.0 * clientHeight);
    return std::max(height, 0);
}
