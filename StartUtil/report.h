// What a launch writes: the echo of its text and, when it fails, one line on standard error.
#pragma once

#include <cstddef>
#include <string_view>

#include "heap_array.h"

// The most bytes that encodeUtf8 writes for `units` UTF-16 code units.
constexpr std::size_t utf8Capacity(std::size_t units) {
    return 3 * units;
}

// The most UTF-16 code units of a text that a failure line quotes. A longer text is cut there
// (never inside a surrogate pair) and followed by `…` and its whole length, so that the line
// stays short and needs no memory that grows with the text.
constexpr std::size_t kQuotedUnits = 1000;

// The longest message a failure line carries; system messages are a sentence or two.
constexpr std::size_t kMostMessageBytes = 512;
// The longest failure line: its own words and the code's digits, the quote and the message.
constexpr std::size_t kMostLineBytes = 160 + utf8Capacity(kQuotedUnits) + kMostMessageBytes;

// Writes the UTF-8 form of `text` to `out`, which has room for utf8Capacity(text.size()) bytes
// (or utf8Length(text)), and returns the byte count. A lone surrogate becomes U+FFFD. Allocates
// nothing, so the library needs no C++ runtime on Windows.
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

// Writes the UTF-8 bytes to standard output exactly as they are, with nothing added, whole and at
// once (writeStandard), so that they are neither overtaken by output written later nor lost if
// the process dies.
void echoUtf8(std::string_view utf8) noexcept;

// What a failure line names: a text, quoted up to kQuotedUnits; no text at all, shown as
// `(no command)`; or only the length of a text whose characters could not be had, shown as
// `(a command of <length> characters)`.
struct FailureSubject {
    const char16_t* units = nullptr;  // null: no text
    std::size_t length = 0;
    bool lengthOnly = false;  // no text, but its length is known
};

// Writes `StartUtil: cannot start <subject>: <message> (error <code>)` to `line`, which has room
// for kMostLineBytes, and returns its size; the line end is left to the writer, for which the
// room holds too. In the text and the message alike, whatever would end the line or steer a
// terminal shows as a visible symbol instead (visibleForm), so that a failure is always exactly
// one line. The message is cut at kMostMessageBytes, never inside a character.
std::size_t formatFailureLine(FailureSubject subject, std::string_view message, unsigned long code,
                              char* line) noexcept;

// Writes a line formatFailureLine made, with the system's line end, to standard error in one
// write. `line` has room for kMostLineBytes.
void writeFailureLine(char* line, std::size_t size) noexcept;

// formatFailureLine and writeFailureLine at once, for a text (null: no text) or a length alone.
void reportLaunchFailure(std::u16string_view text, std::string_view message,
                         unsigned long code) noexcept;
void reportUncopiedCommand(std::size_t length, std::string_view message,
                           unsigned long code) noexcept;

// The symbol a failure line shows for a character that must not reach a log raw, or 0 for one
// shown as it is: a C0 control or DEL as its Control Picture (U+2400 to U+241F, U+2421), and the
// other line breaks (U+0085, U+2028, U+2029) as U+2424, the symbol for a newline. Each symbol
// takes three bytes of UTF-8, as many as utf8Capacity allows for the one unit it replaces.
char16_t visibleForm(char32_t c) noexcept;

// Writes the decimal digits of `value` at `out` (at most 20) and returns the end. By hand: the
// C runtime's formatted output would bring its whole engine along.
char* appendDecimal(char* out, unsigned long long value) noexcept;
