// What a launch writes: the echo of its text and, when it fails, one line on standard error.
#pragma once

#include <cstddef>
#include <string_view>

// The most bytes that encodeUtf8 writes for `units` UTF-16 code units.
constexpr std::size_t utf8Capacity(std::size_t units) {
    return 3 * units;
}

// Writes the UTF-8 form of `text` to `out`, which has room for utf8Capacity(text.size()) bytes,
// and returns the byte count. A lone surrogate becomes U+FFFD. Allocates nothing, so the library
// needs no C++ runtime on Windows.
std::size_t encodeUtf8(std::u16string_view text, char* out) noexcept;

// Writes the text to standard output in one write, with nothing added, and flushes it so that
// it cannot be overtaken by output written later or lost if the process dies.
void echoCommand(const char16_t* text) noexcept;

// Writes `StartUtil: cannot start "<text>": <message> (error <code>)` and a line break to
// standard error in one write. Trailing line breaks of the message are dropped.
void reportLaunchFailure(const char16_t* text, std::string_view message,
                         unsigned long code) noexcept;

// Writes `StartUtil: cannot tell whether "<text>" started: <message>` and a line break to
// standard error in one write, for a launch whose outcome could not be learnt.
void reportUnknownOutcome(const char16_t* text, std::string_view message) noexcept;

// Writes the decimal digits of `value` at `out` (at most 20) and returns the end. By hand: the
// C runtime's formatted output would bring its whole engine along.
char* appendDecimal(char* out, unsigned long value) noexcept;
