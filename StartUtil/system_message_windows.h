// A Windows system message made into part of one failure line. Pure text work, built on every
// system so that the unit tests run it too.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

// The message as FormatMessageW gives it with its inserts ignored, as UTF-8 in `out`
// (kMostMessageBytes); returns the byte count. Each %1 is filled with the program in quotes, or
// with `the program` when there is none to name (other inserts stay: nothing is known to fill
// them with); the escapes %%, %. and %! become their characters; each line break (CR LF, CR or
// LF) and tab becomes a space, and those at the end are dropped. A program too long for the room
// left is cut and ends in `…`.
std::size_t oneLineMessage(std::u16string_view message, std::optional<std::u16string_view> program,
                           char* out) noexcept;
