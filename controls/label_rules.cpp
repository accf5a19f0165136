#include "controls/label_rules.h"

int FittingPixelSize(int basePixels, int minPixels, int maxHeight,
                     const std::function<int(int pixels)>& heightAt) {
    for (int pixels = basePixels; pixels > minPixels; --pixels)
        if (heightAt(pixels) <= maxHeight) return pixels;
    return minPixels;
}
