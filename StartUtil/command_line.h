// The Windows command-line rules, for systems whose programs take an argv array instead.
#pragma once

#include <cstddef>
#include <string_view>

// Splits a command line into argv exactly as the Microsoft C runtime does, so that one text
// gives a program the same arguments on Windows and elsewhere. The first element is the
// program name: it ends at white space outside quotes, its quotes only group (`"a b"c` is
// `a bc`) and its backslashes are plain characters. The arguments follow the C runtime's
// backslash and quote rules; white space is space and tab. Works on UTF-8 bytes: the
// characters that matter are all ASCII. An empty or all-white-space text gives no elements; a
// quoted empty first token, or white space before the first token, gives an empty first element.
//
// Returns one malloc block, released with one free: the null-terminated argv array followed by
// the strings it points into, sized exactly as measureCommandLine measures it. Null only when
// there is no memory for it.
char** splitCommandLine(std::string_view commandLine) noexcept;

// What splitCommandLine would produce, measured without allocating: the element count, the bytes
// of all elements with their terminators, and the longest element's length.
struct CommandLineShape {
    std::size_t elements;
    std::size_t bytes;
    std::size_t longest;
};
CommandLineShape measureCommandLine(std::string_view commandLine) noexcept;
