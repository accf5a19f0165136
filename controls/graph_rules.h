// The arithmetic of CGraphCtrl's columns and the samples it keeps, apart
// from the drawing so that it can be checked without a display.
#pragma once

#include <array>

// The graph shows this many samples, oldest on the left.
inline constexpr int kGraphSampleCount = 68;
inline constexpr int kGraphColumnWidth = 3;

// Samples are 0..100 (a share of the graph's height).
class CGraphSamples {
public:
    // Drops the oldest sample and appends `sample`, limited to 0..100.
    void Push(int sample);
    int At(int index) const { return samples_[static_cast<unsigned>(index)]; }
    const std::array<int, kGraphSampleCount>& All() const { return samples_; }

private:
    std::array<int, kGraphSampleCount> samples_{};
};

// The distance between two columns: the client width shared by the samples.
inline int GraphColumnStep(int clientWidth) {
    return clientWidth / kGraphSampleCount;
}
// The left edge of sample `index`'s column.
inline int GraphColumnX(int index, int clientWidth) {
    return 2 + index * GraphColumnStep(clientWidth);
}
// The column's height: sample / 100 of the client height, truncated; it
// grows from the bottom.
int GraphColumnHeight(int sample, int clientHeight);
