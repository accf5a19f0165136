#include "service/base/vz_string.h"

#include <cstring>
#include <new>

vzCString::vzCString(const vzCString& other) {
    if (other.IsInline()) {
        std::memcpy(inline_, other.inline_, sizeof inline_);
        length_ = other.length_;
    } else {
        Assign(other.CStr(), kCount, other.length_);
    }
}

vzCString& vzCString::operator=(const vzCString& other) {
    if (this != &other) {
        // The source may share no buffer with us, so a plain measured copy is safe.
        vzCString copy(other);
        Assign(copy.CStr(), kMeasure, 0);
    }
    return *this;
}

vzCString::~vzCString() {
    delete[] heap_;
}

void vzCString::Clear() {
    delete[] heap_;
    heap_ = nullptr;
    length_ = 0;
    std::memset(inline_, 0, sizeof inline_);
}

void vzCString::Assign(const char* text, int mode, std::uint32_t count) {
    if (!text || text[0] == '\0') {
        Clear();
        return;
    }
    std::uint32_t n = mode == kMeasure ? static_cast<std::uint32_t>(std::strlen(text))
                      : mode == kCount ? count
                                       : 0;
    if (n == 0) {
        Clear();
        return;
    }
    if (n <= kInlineMax) {
        char tmp[4] = {};
        std::memcpy(tmp, text, n);
        Clear();
        std::memcpy(inline_, tmp, sizeof tmp);
        length_ = n;
        return;
    }
    if (heap_ && length_ >= n) {
        std::memmove(heap_, text, n);
        std::memset(heap_ + n, 0, length_ + 1 - n);
    } else {
        char* buffer = new (std::nothrow) char[n + 1]();
        if (!buffer) return;
        std::memcpy(buffer, text, n);
        delete[] heap_;
        heap_ = buffer;
    }
    length_ = n;
}

void vzCString::Append(const char* text, int mode, std::uint32_t count) {
    std::uint32_t n;
    if (mode == kAppendMeasure) {
        if (!text) return;
        n = static_cast<std::uint32_t>(std::strlen(text));
    } else if (mode == kAppendCount) {
        n = text ? count : 0;
    } else {
        return;
    }
    if (n == 0) return;
    std::uint32_t total = length_ + n;
    if (total <= kInlineMax) {
        std::memcpy(inline_ + length_, text, n);
        length_ = total;
        return;
    }
    char* buffer = new (std::nothrow) char[total + 1]();
    if (!buffer) return;
    std::memcpy(buffer, CStr(), length_);
    std::memcpy(buffer + length_, text, n);
    delete[] heap_;
    heap_ = buffer;
    std::memset(inline_, 0, sizeof inline_);
    length_ = total;
}

std::uint32_t vzCString::Mid(vzCString& out, std::uint32_t start, std::uint32_t count) const {
    if (count > kMaxMid || start >= length_) return 0;
    std::uint32_t n = count < length_ - start ? count : length_ - start;
    if (&out == this) {
        vzCString copy(*this);
        return copy.Mid(out, start, count);
    }
    out.Append(CStr() + start, kAppendCount, n);
    return n;
}

vzCString vzCString::Mid(std::uint32_t start, std::uint32_t count) const {
    vzCString out;
    Mid(out, start, count);
    return out;
}
