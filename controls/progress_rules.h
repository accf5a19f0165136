// The arithmetic of CProgressST, kept apart from the drawing so that it
// can be checked without a display.
#pragma once

#include <string>

// Which text a bar shows when the owner gave it no format of its own.
enum class ProgressTextStyle { kNone, kPercent, kPosition };

// The whole-number percentage that decides the fill: |lower| + position
// within the range, truncated. 0 for an empty or inverted range.
int ProgressFillPercent(int lower, int upper, int position);
// The percentage the text shows: the position within the range, truncated.
int ProgressTextPercent(int lower, int upper, int position);
// The width of the filled part, drawn from x = 1: width / 100 x the fill
// percentage, truncated, and never reaching the last column, so the frame
// of the background bitmap stays visible on the right at 100 %.
int ProgressFillWidth(int controlWidth, int lower, int upper, int position);

// The bar's text. `format` holds at most one "%d" (the percentage) and
// "%%" for a percent sign; any other character is copied. An empty format
// means: "%d%%" for the percent style, "%d" with the position for the
// position style, no text otherwise.
std::string ProgressText(const std::string& format, ProgressTextStyle style, int lower, int upper,
                         int position);
