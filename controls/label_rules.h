// How a label fits a line into its height, apart from drawing, so the rule
// is checked without a display: a line whose glyphs come from a taller font
// than the label's own (Chinese text falls back to a CJK font whose line
// box is higher) is drawn smaller until it is no taller than a line of the
// label's font, so that nothing under the baseline is cut. Its width is
// fitted by platform/text_fit.h.
//
// Pure functions; any thread.
#pragma once

#include <functional>

#include "platform/text_fit.h"

// The largest pixel size from `basePixels` down to `minPixels` at which
// `heightAt(size)` is at most `maxHeight`; `minPixels` when none is.
int FittingPixelSize(int basePixels, int minPixels, int maxHeight,
                     const std::function<int(int pixels)>& heightAt);
