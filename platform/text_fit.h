// Fitting a line into a width by losing characters from its middle, the
// end that must stay kept whole: the window's file label and the terminal's
// status block show "long…name [3/12]", never a name cut off before its
// counter. Widths come from a measure the caller passes (pixels of a font,
// or terminal columns).
//
// Pure functions; any thread.
#pragma once

#include <functional>
#include <string>

namespace plat {

using TextMeasure = std::function<int(const std::u16string& text)>;

// The end of `line` that must stay whole: " [n/m]" when the line ends so,
// else "".
std::u16string KeptTail(const std::u16string& line);

// `line` when it fits `width`; else its head shortened in the middle with
// "…", the kept tail after it; else as much of the tail as fits.
std::u16string FitMiddleKeepingTail(const std::u16string& line, int width, const TextMeasure& measure);

// Terminal columns a character takes: 2 for East Asian wide and full-width
// characters, 0 for combining marks, 1 for the rest.
int TerminalColumnsOf(char32_t c);
int TerminalColumnsOf(const std::u16string& text);

}  // namespace plat
