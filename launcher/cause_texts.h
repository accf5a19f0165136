// The causes the service gives in English (for its log and the terminal
// program), told in the window's language: one table of patterns and their
// Traditional Chinese texts, so that a box speaks one language and another
// language can be added as another column.
//
// A cause is "URL: why" or a bare "why"; addresses, paths, numbers and the
// server's own words (a head line, a coding) are kept as they were given.
// A cause no pattern knows is shown as it came, rather than lost.
//
// Pure functions; any thread.
#pragma once

#include <string>
#include <string_view>

std::u16string LocalizedCause(std::string_view cause);
