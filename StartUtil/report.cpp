#include "report.h"

#include <cstdio>
#include <new>

namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool isHighSurrogate(char16_t c) {
    return c >= 0xD800 && c <= 0xDBFF;
}
bool isLowSurrogate(char16_t c) {
    return c >= 0xDC00 && c <= 0xDFFF;
}

void appendUtf8(std::string& out, char32_t c) {
    auto byte = [&out](char32_t b) { out.push_back(static_cast<char>(b)); };
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
}

}  // namespace

std::string toUtf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char16_t c = text[i];
        if (isHighSurrogate(c) && i + 1 < text.size() && isLowSurrogate(text[i + 1])) {
            char32_t high = c - 0xD800u, low = text[++i] - 0xDC00u;
            appendUtf8(out, 0x10000 + (high << 10) + low);
        } else if (isHighSurrogate(c) || isLowSurrogate(c)) {
            appendUtf8(out, kReplacement);
        } else {
            appendUtf8(out, c);
        }
    }
    return out;
}

void echoCommand(const char16_t* text) noexcept {
    if (text == nullptr) return;
    try {
        std::string utf8 = toUtf8(text);
        std::fwrite(utf8.data(), 1, utf8.size(), stdout);
    } catch (const std::bad_alloc&) {
        // Without memory for the copy there is nothing to echo; the launch itself goes on.
    }
    std::fflush(stdout);
}

void reportLaunchFailure(const char16_t* text, std::string_view message, long code) noexcept {
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) {
        message.remove_suffix(1);
    }
    try {
        std::string line = "StartUtil: cannot start ";
        line += text == nullptr ? std::string("(no command)") : '"' + toUtf8(text) + '"';
        line += ": ";
        line += message;
        line += " (error " + std::to_string(code) + ")\n";
        std::fputs(line.c_str(), stderr);
    } catch (const std::bad_alloc&) {
        std::fputs("StartUtil: cannot start a command: out of memory\n", stderr);
    }
    std::fflush(stderr);
}
