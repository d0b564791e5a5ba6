// What a launch writes: the echo of its text and, when it fails, one line on standard error.
#pragma once

#include <string>
#include <string_view>

// UTF-16 to UTF-8; a lone surrogate becomes U+FFFD. Throws std::bad_alloc like any string.
std::string toUtf8(std::u16string_view text);

// Writes the text to standard output in one write, with nothing added, and flushes it so that
// it cannot be overtaken by output written later or lost if the process dies.
void echoCommand(const char16_t* text) noexcept;

// Writes `StartUtil: cannot start "<text>": <message> (error <code>)` and a line break to
// standard error. Trailing line breaks of the message are dropped.
void reportLaunchFailure(const char16_t* text, std::string_view message, long code) noexcept;
