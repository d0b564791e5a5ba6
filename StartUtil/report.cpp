#include "report.h"

#include <cstdio>
#include <cstring>

#include "heap_array.h"

namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool isHighSurrogate(char16_t c) {
    return c >= 0xD800 && c <= 0xDBFF;
}
bool isLowSurrogate(char16_t c) {
    return c >= 0xDC00 && c <= 0xDFFF;
}

char* appendUtf8(char* out, char32_t c) {
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

char* append(char* out, std::string_view text) {
    std::memcpy(out, text.data(), text.size());
    return out + text.size();
}

}  // namespace

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

void echoCommand(const char16_t* text) noexcept {
    if (text == nullptr) return;
    std::u16string_view units(text);
    // Without memory for the UTF-8 form there is nothing to echo; the launch itself goes on. A
    // write that fails has no one to tell, here or below: its result is dropped on purpose.
    if (HeapArray<char> utf8 = allocateArray<char>(utf8Capacity(units.size()) + 1)) {
        (void)std::fwrite(utf8.get(), 1, encodeUtf8(units, utf8.get()), stdout);
    }
    (void)std::fflush(stdout);
}

char* appendDecimal(char* out, unsigned long value) noexcept {
    char digits[24];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (count > 0) *out++ = digits[--count];
    return out;
}

namespace {

// One line on standard error: `StartUtil: <verdict> "<text>"<after>: <message>`, the code if
// there is one, and a line break, in one write so that concurrent lines never interleave.
void reportLine(std::string_view verdict, const char16_t* text, std::string_view after,
                std::string_view message, const unsigned long* code) {
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) {
        message.remove_suffix(1);
    }
    std::u16string_view units = text != nullptr ? std::u16string_view(text) : u"";
    constexpr std::size_t kFixedText = 120;  // the line's own words and the code's digits
    HeapArray<char> line = allocateArray<char>(kFixedText + verdict.size() + after.size() +
                                               utf8Capacity(units.size()) + message.size());
    if (line == nullptr) {
        (void)std::fputs("StartUtil: cannot report on a command: out of memory\n", stderr);
    } else {
        char* end = append(append(line.get(), "StartUtil: "), verdict);
        if (text == nullptr) {
            end = append(end, "(no command)");
        } else {
            *end++ = '"';
            end += encodeUtf8(units, end);
            *end++ = '"';
        }
        end = append(append(append(end, after), ": "), message);
        if (code != nullptr) end = append(appendDecimal(append(end, " (error "), *code), ")");
        *end++ = '\n';
        (void)std::fwrite(line.get(), 1, static_cast<std::size_t>(end - line.get()), stderr);
    }
    (void)std::fflush(stderr);
}

}  // namespace

void reportLaunchFailure(const char16_t* text, std::string_view message,
                         unsigned long code) noexcept {
    reportLine("cannot start ", text, "", message, &code);
}

void reportUnknownOutcome(const char16_t* text, std::string_view message) noexcept {
    reportLine("cannot tell whether ", text, " started", message, nullptr);
}
