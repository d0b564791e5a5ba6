// encodeUtf8 on any UTF-16 text (the input's bytes, two to a code unit): it writes no more than
// utf8Capacity promises, its output is valid UTF-8, and that decodes back to the text with each
// lone surrogate as U+FFFD.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "utf8.h"

namespace {

bool isHighSurrogate(char32_t c) {
    return c >= 0xD800 && c <= 0xDBFF;
}
bool isLowSurrogate(char32_t c) {
    return c >= 0xDC00 && c <= 0xDFFF;
}

std::u16string withLoneSurrogatesReplaced(std::u16string_view text) {
    std::u16string replaced;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (isHighSurrogate(text[i]) && i + 1 < text.size() && isLowSurrogate(text[i + 1])) {
            replaced += text[i++];
            replaced += text[i];
        } else {
            replaced += isHighSurrogate(text[i]) || isLowSurrogate(text[i]) ? u'\uFFFD' : text[i];
        }
    }
    return replaced;
}

// Strict UTF-8 to UTF-16: false on a stray or missing continuation byte, an overlong form, a
// surrogate or anything above U+10FFFF.
bool decodeUtf8(std::string_view bytes, std::u16string& text) {
    constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    for (std::size_t i = 0; i < bytes.size();) {
        auto lead = static_cast<unsigned char>(bytes[i]);
        std::size_t length = lead < 0x80   ? 1
                             : lead < 0xC0 ? 0
                             : lead < 0xE0 ? 2
                             : lead < 0xF0 ? 3
                                           : 4;
        if (length == 0 || lead > 0xF4 || length > bytes.size() - i) return false;
        char32_t c = length == 1 ? lead : lead & (0x7Fu >> length);
        for (std::size_t k = 1; k < length; ++k) {
            auto next = static_cast<unsigned char>(bytes[i + k]);
            if ((next & 0xC0) != 0x80) return false;
            c = (c << 6) | (next & 0x3Fu);
        }
        if (c < kSmallest[length] || c > 0x10FFFF || isHighSurrogate(c) || isLowSurrogate(c)) {
            return false;
        }
        if (c >= 0x10000) {
            text += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
            text += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            text += static_cast<char16_t>(c);
        }
        i += length;
    }
    return true;
}

[[noreturn]] void fail(const char* property, std::size_t units) {
    std::fprintf(stderr, "%s (%zu code units)\n", property, units);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::u16string text(size / 2, u'\0');
    std::memcpy(text.data(), data, 2 * text.size());
    // Exactly the promised room, so that AddressSanitizer stops a write past it.
    std::vector<char> utf8(utf8Capacity(text.size()));
    std::size_t written = encodeUtf8(text, utf8.data());
    if (written > utf8.size()) fail("more bytes reported than utf8Capacity allows", text.size());
    if (written != utf8Length(text)) fail("utf8Length differs from the encoding", text.size());
    std::u16string decoded;
    if (!decodeUtf8({utf8.data(), written}, decoded)) fail("invalid UTF-8", text.size());
    if (decoded != withLoneSurrogatesReplaced(text)) {
        fail("does not decode back to the text with U+FFFD for lone surrogates", text.size());
    }
    return 0;
}
