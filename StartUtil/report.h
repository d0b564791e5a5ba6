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

// Writes `StartUtil: cannot start "<text>": <message> (error <code>)` and the system's line end
// to standard error in one write; `(no command)` stands for an absent text. The text is quoted up
// to kQuotedUnits. In the text and the message alike, whatever would end the line or steer a
// terminal shows as a visible symbol instead (visibleForm), so that a failure is always exactly
// one line. The message is cut at kMostMessageBytes, never inside a character.
void reportLaunchFailure(const char16_t* text, std::string_view message,
                         unsigned long code) noexcept;
void reportLaunchFailure(std::u16string_view text, std::string_view message,
                         unsigned long code) noexcept;

// The same line for a command whose characters could not be had at all: `(a command of <length>
// characters)` stands for its text.
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
