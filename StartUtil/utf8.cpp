#include "utf8.h"

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// The UTF-8 bytes of the character that starts at text[i], and its UTF-16 units (2 for a pair).
struct CharacterSize {
    std::size_t bytes;
    std::size_t units;
};
CharacterSize characterAt(std::u16string_view text, std::size_t i) {
    char16_t c = text[i];
    if (isHighSurrogate(c) && i + 1 < text.size() && isLowSurrogate(text[i + 1])) return {4, 2};
    return {c < 0x80 ? 1u : c < 0x800 ? 2u : 3u, 1};  // a lone surrogate's U+FFFD takes 3
}

}  // namespace

char* appendUtf8(char* out, char32_t c) noexcept {
    auto byte = [&out](char32_t b) { *out++ = static_cast<char>(b); };
    if (c < 0x80) {
        byte(c);
    } else if (c < 0x800) {
        byte(0xC0 | (c >> 6));
        byte(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        byte(0xE0 | (c >> 12));
        byte(0x80 | ((c >> 6) & 0x3F));
        byte(0x80 | (c & 0x3F));
    } else {
        byte(0xF0 | (c >> 18));
        byte(0x80 | ((c >> 12) & 0x3F));
        byte(0x80 | ((c >> 6) & 0x3F));
        byte(0x80 | (c & 0x3F));
    }
    return out;
}

std::size_t encodeUtf8(std::u16string_view text, char* out) noexcept {
    char* end = out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char16_t c = text[i];
        if (isHighSurrogate(c) && i + 1 < text.size() && isLowSurrogate(text[i + 1])) {
            char32_t high = c - 0xD800u, low = text[++i] - 0xDC00u;
            end = appendUtf8(end, 0x10000 + (high << 10) + low);
        } else if (isHighSurrogate(c) || isLowSurrogate(c)) {
            end = appendUtf8(end, kReplacement);
        } else {
            end = appendUtf8(end, c);
        }
    }
    return static_cast<std::size_t>(end - out);
}

std::size_t encodeUtf8Within(std::u16string_view text, char* out, std::size_t room) noexcept {
    std::size_t units = 0;
    for (std::size_t bytes = 0; units < text.size();) {
        CharacterSize next = characterAt(text, units);
        if (bytes + next.bytes > room) break;
        bytes += next.bytes;
        units += next.units;
    }
    return encodeUtf8(text.substr(0, units), out);
}

std::size_t utf8Length(std::u16string_view text) noexcept {
    std::size_t bytes = 0;
    for (std::size_t i = 0; i < text.size();) {
        CharacterSize next = characterAt(text, i);
        bytes += next.bytes;
        i += next.units;
    }
    return bytes;
}

Utf8Text toUtf8Text(std::u16string_view text) noexcept {
    Utf8Text utf8;
    std::size_t size = utf8Length(text);
    utf8.bytes = allocateArray<char>(size + 1);
    if (utf8.bytes == nullptr) return utf8;
    utf8.size = encodeUtf8(text, utf8.bytes.get());
    utf8.bytes[utf8.size] = '\0';
    return utf8;
}
