// JSON output of the report server: one line per received record.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// `text` as a JSON string literal, quotes included. Valid UTF-8 passes
// through; quotes, backslashes and control characters are escaped; a byte
// that is not part of a valid UTF-8 sequence (the client sends text in its
// ANSI code page) is written as \u00XX, that is read as Latin-1, so that the
// line is always valid JSON and no byte is silently lost.
std::string JsonString(std::string_view text);

// {"key":"...","url":"...","bytes":N}
std::string RecordJsonLine(std::string_view key, std::string_view url, std::int64_t bytes);
