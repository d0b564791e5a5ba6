// The library's allocation-free text functions wrapped in standard strings, for the tests.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "command_line.h"
#include "failure_line.h"

inline std::vector<std::string> splitToStrings(std::string_view commandLine) {
    std::unique_ptr<char*, decltype(&std::free)> argv(splitCommandLine(commandLine), &std::free);
    if (argv == nullptr) throw std::bad_alloc();
    std::vector<std::string> strings;
    for (char** element = argv.get(); *element != nullptr; ++element)
        strings.emplace_back(*element);
    return strings;
}

// The shape measureCommandLine must give for the argv that splitCommandLine gives.
inline CommandLineShape shapeOf(const std::vector<std::string>& argv) {
    CommandLineShape shape{argv.size(), 0, 0};
    for (const std::string& element : argv) {
        shape.bytes += element.size() + 1;
        shape.longest = std::max(shape.longest, element.size());
    }
    return shape;
}

inline bool operator==(const CommandLineShape& a, const CommandLineShape& b) {
    return a.elements == b.elements && a.bytes == b.bytes && a.longest == b.longest;
}

inline std::string toUtf8(std::u16string_view text) {
    std::string utf8(utf8Capacity(text.size()), '\0');
    utf8.resize(encodeUtf8(text, utf8.data()));
    return utf8;
}

// The usual way to quote an argument for the C runtime: in quotes, every quote escaped, and
// the backslashes before a quote (or before the closing quote) doubled.
inline std::string quoteArgument(const std::string& argument) {
    std::string quoted = "\"";
    std::size_t backslashes = 0;
    for (char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(2 * backslashes, '\\');
    quoted += '"';
    return quoted;
}

// Where the first line break of a line is (LF, CR, NEL, U+2028, U+2029 in UTF-8), or npos.
inline std::size_t lineBreakAt(std::string_view line) {
    std::size_t at = std::string_view::npos;
    for (std::string_view lineBreak : {"\n", "\r", "\xC2\x85", "\xE2\x80\xA8", "\xE2\x80\xA9"}) {
        at = std::min(at, line.find(lineBreak));
    }
    return at;
}
