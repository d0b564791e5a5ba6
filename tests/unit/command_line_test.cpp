#include <gtest/gtest.h>

#include <random>

#include "command_line_cases.h"
#include "library_text.h"

namespace {

void expectSplits(const std::vector<CommandLineCase>& cases) {
    for (const auto& c : cases) {
        EXPECT_EQ(splitToStrings(c.text), c.argv) << "command line [" << c.text << "]";
    }
}

TEST(SplitCommandLine, ProgramNameKeepsBackslashesAndDropsQuotes) {
    expectSplits(kProgramNameCases);
    expectSplits(kProgramNamePathCases);
}

TEST(SplitCommandLine, OnlySpaceAndTabSeparateOutsideQuotes) {
    expectSplits(kWhiteSpaceCases);
}

TEST(SplitCommandLine, BackslashesAreHalvedOnlyBeforeAQuote) {
    expectSplits(kBackslashQuoteCases);
}

TEST(SplitCommandLine, DoubledQuoteInsideQuotesIsALiteralQuote) {
    expectSplits(kDoubledQuoteCases);
}

TEST(SplitCommandLine, UnterminatedQuoteRunsToTheEnd) {
    expectSplits(kUnterminatedQuoteCases);
}

TEST(SplitCommandLine, EmptyOrWhiteSpaceTextGivesNoArguments) {
    expectSplits(kEmptyCases);
}

TEST(SplitCommandLine, Utf8PassesThroughUnchanged) {
    expectSplits(kUtf8Cases);
}

TEST(SplitCommandLine, ShellMetacharactersAreLiteral) {
    expectSplits(kShellMetacharacterCases);
}

// Any argv quoted that way comes back whole, with no C runtime at hand to compare against.
TEST(SplitCommandLine, QuotedArgumentsComeBackUnchanged) {
    const std::string_view alphabet[] = {"a", " ", "\t", "\"", "\\", "\xc3\xa9"};
    std::mt19937 random(7);
    for (int i = 0; i < 500; ++i) {
        std::vector<std::string> argv = {"prog"};
        std::string commandLine = "prog";
        for (std::size_t count = random() % 4; count > 0; --count) {
            std::string argument;
            for (std::size_t length = random() % 8; length > 0; --length) {
                argument += alphabet[random() % std::size(alphabet)];
            }
            argv.push_back(argument);
            commandLine.append(" ").append(quoteArgument(argument));
        }
        EXPECT_EQ(splitToStrings(commandLine), argv) << "command line [" << commandLine << "]";
    }
}

}  // namespace
