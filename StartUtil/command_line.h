// The Windows command-line rules, for systems whose programs take an argv array instead.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// Splits a command line into argv exactly as the Microsoft C runtime does, so that one text
// gives a program the same arguments on Windows and elsewhere. The first element is the
// program name, taken whole up to the next quote when it starts with one, otherwise up to white
// space, with no backslash rules; the arguments follow the C runtime's backslash and quote rules.
// Works on UTF-8 bytes: the characters that matter are all ASCII. An empty or all-white-space
// text gives no elements; a quoted empty first token gives one empty element.
std::vector<std::string> splitCommandLine(std::string_view commandLine);
