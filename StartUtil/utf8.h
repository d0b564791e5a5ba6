// UTF-16 to UTF-8, as every text the library writes or hands the system goes: a lone surrogate
// becomes U+FFFD. Allocates nothing but the one block toUtf8Text asks for, so the library needs
// no C++ runtime on Windows.
#pragma once

#include <cstddef>
#include <string_view>

#include "heap_array.h"

// The most bytes that encodeUtf8 writes for `units` UTF-16 code units.
constexpr std::size_t utf8Capacity(std::size_t units) {
    return 3 * units;
}

constexpr bool isHighSurrogate(char16_t c) {
    return c >= 0xD800 && c <= 0xDBFF;
}
constexpr bool isLowSurrogate(char16_t c) {
    return c >= 0xDC00 && c <= 0xDFFF;
}

// Writes the UTF-8 form of `text` to `out`, which has room for utf8Capacity(text.size()) bytes
// (or utf8Length(text)), and returns the byte count.
std::size_t encodeUtf8(std::u16string_view text, char* out) noexcept;

// The same for as much of `text` as fits in `room` bytes, whole characters only.
std::size_t encodeUtf8Within(std::u16string_view text, char* out, std::size_t room) noexcept;

// The exact byte count of the UTF-8 form of `text`.
std::size_t utf8Length(std::u16string_view text) noexcept;

// A text's UTF-8 form, made once per call and shared by the echo and the launch. `bytes` holds
// `size` bytes and a terminator; it is null when there was no memory for it.
struct Utf8Text {
    HeapArray<char> bytes;
    std::size_t size = 0;

    std::string_view view() const { return {bytes.get(), size}; }
};
Utf8Text toUtf8Text(std::u16string_view text) noexcept;

// Writes the one to four UTF-8 bytes of a code point at `out` and returns the end.
char* appendUtf8(char* out, char32_t c) noexcept;
