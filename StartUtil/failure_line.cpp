#include "failure_line.h"

#include <cstring>
#include <string>

#include "output.h"

namespace {

constexpr char32_t kReplacement = 0xFFFD;

char* append(char* out, std::string_view text) {
    std::memcpy(out, text.data(), text.size());
    return out + text.size();
}

}  // namespace

char16_t visibleForm(char32_t c) noexcept {
    if (c < 0x20) return static_cast<char16_t>(0x2400 + c);
    if (c == 0x7F) return 0x2421;
    if (c == 0x85 || c == 0x2028 || c == 0x2029) return 0x2424;
    return 0;
}

char* appendDecimal(char* out, unsigned long long value) noexcept {
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

// The subject in quotes, cut at kQuotedUnits, each character visibleForm names shown as its
// symbol (three bytes, as many as utf8Capacity allows for one unit, so the quote always fits).
char* appendQuoted(char* out, std::u16string_view text) {
    std::size_t cut = text.size();
    if (cut > kQuotedUnits) {
        cut = kQuotedUnits;
        if (isHighSurrogate(text[cut - 1]) && isLowSurrogate(text[cut])) --cut;
    }
    *out++ = '"';
    std::size_t from = 0;
    for (std::size_t i = 0; i < cut; ++i) {
        if (char16_t symbol = visibleForm(text[i]); symbol != 0) {
            out += encodeUtf8({text.data() + from, i - from}, out);
            out = appendUtf8(out, symbol);
            from = i + 1;
        }
    }
    out += encodeUtf8({text.data() + from, cut - from}, out);
    if (cut < text.size()) out = append(out, "\xE2\x80\xA6");  // …
    *out++ = '"';
    if (cut < text.size()) {
        out = append(appendDecimal(append(out, " ("), text.size()), " characters)");
    }
    return out;
}

// The code point of the UTF-8 character at `bytes` of `size` bytes (at least 1), as far as
// visibleForm needs it: the characters it names take one to three bytes.
char32_t leadingCharacter(const char* bytes, std::size_t size) {
    auto byte = [bytes](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    if (byte(0) < 0x80) return byte(0);
    if (size >= 2 && (byte(0) & 0xE0) == 0xC0) return ((byte(0) & 0x1Fu) << 6) | (byte(1) & 0x3Fu);
    if (size >= 3 && (byte(0) & 0xF0) == 0xE0) {
        return ((byte(0) & 0x0Fu) << 12) | ((byte(1) & 0x3Fu) << 6) | (byte(2) & 0x3Fu);
    }
    return kReplacement;
}

// The message, each character visibleForm names shown as its symbol, in at most
// kMostMessageBytes: it ends before the first character that would not fit whole.
char* appendMessage(char* out, std::string_view message) {
    const char* end = out + kMostMessageBytes;
    for (std::size_t i = 0; i < message.size();) {
        std::size_t size = 1;
        while (i + size < message.size() &&
               (static_cast<unsigned char>(message[i + size]) & 0xC0) == 0x80) {
            ++size;
        }
        char16_t symbol = visibleForm(leadingCharacter(message.data() + i, size));
        if ((symbol != 0 ? 3 : size) > static_cast<std::size_t>(end - out)) break;
        out = symbol != 0 ? appendUtf8(out, symbol) : append(out, {message.data() + i, size});
        i += size;
    }
    return out;
}

}  // namespace

std::size_t formatFailureLine(FailureSubject subject, std::string_view message, unsigned long code,
                              char* line) noexcept {
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) {
        message.remove_suffix(1);
    }
    char* end = append(line, "StartUtil: cannot start ");
    if (subject.units != nullptr) {
        end = appendQuoted(end, {subject.units, subject.length});
    } else if (subject.lengthOnly) {
        end = append(appendDecimal(append(end, "(a command of "), subject.length), " characters)");
    } else {
        end = append(end, "(no command)");
    }
    end = appendMessage(append(end, ": "), message);
    end = append(appendDecimal(append(end, " (error "), code), ")");
    return static_cast<std::size_t>(end - line);
}

// One write, so that concurrent lines never interleave; the buffer's fixed size means a huge text
// costs the line nothing.
void writeFailureLine(char* line, std::size_t size) noexcept {
    char* end = append(line + size, kLineEnd);
    writeStandard(StandardStream::Error, {line, static_cast<std::size_t>(end - line)});
}

void reportLaunchFailure(std::u16string_view text, std::string_view message,
                         unsigned long code) noexcept {
    char line[kMostLineBytes];
    FailureSubject subject{text.data() != nullptr ? text.data() : u"", text.size()};
    writeFailureLine(line, formatFailureLine(subject, message, code, line));
}

void reportUncopiedCommand(std::size_t length, std::string_view message,
                           unsigned long code) noexcept {
    char line[kMostLineBytes];
    writeFailureLine(line, formatFailureLine({nullptr, length, true}, message, code, line));
}
