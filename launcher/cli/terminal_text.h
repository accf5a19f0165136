// Text from the outside world (file names, URLs, server answers, message
// box texts) shown on the user's terminal: control characters are written
// as visible escapes, so that a name holding an escape sequence cannot
// rewrite the terminal, move its cursor or fake a line of ours.
#pragma once

#include <string>
#include <string_view>

// Every C0 control (and DEL, and the C1 controls U+0080..U+009F) becomes
// "\xNN" (for U+0080..U+009F "\u0080".."\u009F"); a line break stays a line
// break when `keepLineBreaks`, else it becomes "\n" as two characters.
std::string EscapeForTerminal(std::string_view text, bool keepLineBreaks = true);
