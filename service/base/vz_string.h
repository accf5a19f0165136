// A byte string in the service's code page. Strings of up to three
// characters live inside the object without touching the heap; longer ones
// own a NUL-terminated heap buffer.
#pragma once

#include <cstdint>
#include <string_view>

class vzCString {
public:
    static constexpr int kMeasure = 1;        // Assign: text is NUL-terminated
    static constexpr int kCount = 2;          // Assign: take `count` characters
    static constexpr int kAppendMeasure = 3;  // Append: text is NUL-terminated
    static constexpr int kAppendCount = 4;    // Append: take `count` characters
    static constexpr std::uint32_t kMaxMid = 0x100000;

    vzCString() = default;
    explicit vzCString(const char* text) { Assign(text, kMeasure, 0); }
    vzCString(const vzCString& other);
    vzCString& operator=(const vzCString& other);
    ~vzCString();

    void Assign(const char* text, int mode, std::uint32_t count);
    void Append(const char* text, int mode, std::uint32_t count);
    // Appends to `out` up to `count` characters from `start`; returns how many.
    std::uint32_t Mid(vzCString& out, std::uint32_t start, std::uint32_t count) const;
    vzCString Mid(std::uint32_t start, std::uint32_t count) const;

    std::uint32_t Length() const { return length_; }
    const char* CStr() const { return length_ <= kInlineMax ? inline_ : heap_; }
    std::string_view View() const { return {CStr(), length_}; }
    bool IsInline() const { return length_ <= kInlineMax; }

private:
    static constexpr std::uint32_t kInlineMax = 3;
    void Clear();

    std::uint32_t length_ = 0;
    char inline_[4] = {};
    char* heap_ = nullptr;
};
