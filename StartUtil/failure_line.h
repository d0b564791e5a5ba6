// The line a launch that started nothing writes to standard error, or hands its caller:
// `StartUtil: cannot start "<text>": <message> (error <code>)`, always exactly one line.
#pragma once

#include <cstddef>
#include <string_view>

#include "utf8.h"

// The most UTF-16 code units of a text that a failure line quotes. A longer text is cut there
// (never inside a surrogate pair) and followed by `…` and its whole length, so that the line
// stays short and needs no memory that grows with the text.
constexpr std::size_t kQuotedUnits = 1000;

// The longest message a failure line carries; system messages are a sentence or two.
constexpr std::size_t kMostMessageBytes = 512;
// The longest failure line: its own words and the code's digits, the quote and the message.
constexpr std::size_t kMostLineBytes = 160 + utf8Capacity(kQuotedUnits) + kMostMessageBytes;

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
