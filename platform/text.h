// Text conversions. The "ANSI code page" of the service is the locale's
// charset, UTF-8 here, so the byte strings of the service are UTF-8 and the
// user interface's UTF-16 text converts to and from them.
#pragma once

#include <string>
#include <string_view>

namespace plat {

// Invalid input sequences become U+FFFD; nothing is dropped silently.
std::u16string AnsiToWide(std::string_view ansi);
std::string WideToAnsi(std::u16string_view wide);
std::string AnsiToUtf8(std::string_view ansi);
std::string Utf8ToAnsi(std::string_view utf8);

// Lower-cases ASCII letters only, as the service compares paths.
std::string AsciiLower(std::string_view text);

// The text without leading and trailing white space (space, tab, CR, LF,
// vertical tab, form feed): the one trim of the program.
std::string_view Trim(std::string_view text);
std::u16string_view Trim(std::u16string_view text);

}  // namespace plat
