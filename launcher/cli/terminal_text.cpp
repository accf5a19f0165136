#include "launcher/cli/terminal_text.h"

#include <cstdio>

std::string EscapeForTerminal(std::string_view text, bool keepLineBreaks) {
    std::string out;
    out.reserve(text.size());
    char escape[8];
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte == '\n') {
            out += keepLineBreaks ? "\n" : "\\n";
        } else if (byte < 0x20 || byte == 0x7F) {
            std::snprintf(escape, sizeof escape, "\\x%02X", byte);
            out += escape;
        } else if (byte == 0xC2 && i + 1 < text.size() &&
                   static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                   static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
            std::snprintf(escape, sizeof escape, "\\u%04X", static_cast<unsigned char>(text[i + 1]));
            out += escape;
            ++i;
        } else {
            out += static_cast<char>(byte);
        }
    }
    return out;
}
