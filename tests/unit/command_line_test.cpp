#include "command_line.h"

#include <gtest/gtest.h>

#include "command_line_cases.h"

namespace {

void expectSplits(const std::vector<CommandLineCase>& cases) {
    for (const auto& c : cases) {
        EXPECT_EQ(splitCommandLine(c.text), c.argv) << "command line [" << c.text << "]";
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

}  // namespace
