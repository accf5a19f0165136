// How a label fits a line into its width and height, apart from drawing, so
// the rules are checked without a display. Widths and heights come from a
// measure the caller passes (the label's device context).
//
// A file line "name [3/12]" keeps its counter whole: when the line is too
// wide, the name loses characters from its middle ("long…name [3/12]"),
// never the counter. A line whose glyphs come from a taller font than the
// label's own (Chinese text falls back to a CJK font whose line box is
// higher) is drawn smaller until it is no taller than a line of the
// label's font, so that nothing under the baseline is cut.
//
// Pure functions; any thread.
#pragma once

#include <functional>
#include <string>

using TextMeasure = std::function<int(const std::wstring& text)>;

// The end of `line` that must stay whole: " [n/m]" when the line ends so,
// else "".
std::wstring KeptTail(const std::wstring& line);

// `line` when it fits `width`; else its head shortened in the middle with
// "…", the kept tail after it; else as much of the tail as fits.
std::wstring FitMiddleKeepingTail(const std::wstring& line, int width, const TextMeasure& measure);

// The largest pixel size from `basePixels` down to `minPixels` at which
// `heightAt(size)` is at most `maxHeight`; `minPixels` when none is.
int FittingPixelSize(int basePixels, int minPixels, int maxHeight,
                     const std::function<int(int pixels)>& heightAt);
