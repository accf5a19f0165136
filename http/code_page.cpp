#include "http/code_page.h"

#include "platform/text.h"

std::string ToUtf8(std::string_view ansi) {
    return plat::AnsiToUtf8(ansi);
}

std::string FromUtf8(std::string_view utf8) {
    return plat::Utf8ToAnsi(utf8);
}
