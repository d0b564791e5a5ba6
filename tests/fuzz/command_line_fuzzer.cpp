// Two properties that every input must keep, whatever splitCommandLine's code looks like (and
// measureCommandLine must describe whatever it splits to):
// - an argv quoted by the C runtime's rules splits back to that argv. The input is the argv, its
//   elements separated by NUL (the next one quoted always), \x01 (quoted only where it must be)
//   or \x02 (quoted, a quote inside written as two); the program name loses its quotes, since a
//   path cannot hold one.
// - a text with no quote or backslash splits exactly at runs of spaces and tabs. The input is
//   that text, with its quotes, backslashes and NULs read as 'x'.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "library_text.h"

namespace {

using Argv = std::vector<std::string>;
constexpr std::string_view kWhiteSpace = " \t";
constexpr std::string_view kSeparators{"\0\x01\x02", 3};

std::string describe(const Argv& argv) {
    std::string text = "{";
    for (const std::string& element : argv) text += "[" + element + "]";
    return text + "}";
}

void expectSplit(const std::string& commandLine, const Argv& expected, const char* property) {
    Argv split = splitToStrings(commandLine);
    CommandLineShape measured = measureCommandLine(commandLine);
    if (split == expected && measured == shapeOf(split)) return;
    std::fprintf(stderr, "%s\ncommand line [%s]\nexpected %s\nsplit to  %s\n", property,
                 commandLine.c_str(), describe(expected).c_str(), describe(split).c_str());
    std::fprintf(stderr, "measured %zu elements, %zu bytes, longest %zu\n", measured.elements,
                 measured.bytes, measured.longest);
    std::abort();
}

bool needsQuotes(std::string_view element) {
    return element.empty() || element.find_first_of(" \t\"") != std::string_view::npos;
}

// quoteArgument's form with every quote inside written as a doubled quote instead of \".
std::string quoteWithDoubledQuotes(const std::string& argument) {
    std::string quoted = quoteArgument(argument);
    std::string doubled;
    for (std::size_t i = 0; i < quoted.size(); ++i) {
        if (quoted[i] == '"' && i > 0 && i + 1 < quoted.size()) {
            doubled.back() = '"';  // the backslash that escaped it
        }
        doubled += quoted[i];
    }
    return doubled;
}

std::string quote(const std::string& argument, char separator) {
    if (separator == '\x02') return " " + quoteWithDoubledQuotes(argument);
    if (separator == '\x01' && !needsQuotes(argument)) return "\t" + argument;
    return " " + quoteArgument(argument);
}

void quotedArgvSplitsBack(std::string_view input) {
    std::size_t end = input.find_first_of(kSeparators);
    std::string program(input.substr(0, end));
    std::erase(program, '"');
    Argv argv = {program};
    // The program name's own rule: quotes only group and backslashes are literal.
    std::string commandLine = needsQuotes(program) ? '"' + program + '"' : program;
    while (end != std::string_view::npos) {
        char separator = input[end];
        input.remove_prefix(end + 1);
        end = input.find_first_of(kSeparators);
        std::string argument(input.substr(0, end));
        commandLine += quote(argument, separator);
        argv.push_back(std::move(argument));
    }
    expectSplit(commandLine, argv, "a quoted argv does not split back to itself");
}

void plainTextSplitsAtWhiteSpace(std::string_view input) {
    std::string text(input);
    for (char& c : text) {
        if (c == '"' || c == '\\' || c == '\0') c = 'x';
    }
    Argv expected;
    std::size_t start = text.find_first_not_of(kWhiteSpace);
    // White space alone gives nothing; white space first gives an empty program name.
    if (start != std::string::npos && start > 0) expected.emplace_back();
    while (start != std::string::npos) {
        std::size_t end = text.find_first_of(kWhiteSpace, start);
        expected.push_back(text.substr(start, end - start));
        start = text.find_first_not_of(kWhiteSpace, end);
    }
    expectSplit(text, expected, "a text without quotes or backslashes splits elsewhere");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    quotedArgvSplitsBack(input);
    plainTextSplitsAtWhiteSpace(input);
    return 0;
}
