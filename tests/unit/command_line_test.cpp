#include <gtest/gtest.h>
#include <malloc.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>

#include "command_line_cases.h"
#include "library_text.h"

namespace {

// What the allocator holds for a block: exactly what was asked on Windows and under
// AddressSanitizer, rounded up to its chunk size by the C library otherwise.
std::size_t allocatedSize(void* block) {
#ifdef _WIN32
    return _msize(block);
#else
    return malloc_usable_size(block);
#endif
}

// The C library's chunks are aligned to two words at least: more than max_align_t on s390x.
constexpr std::size_t kChunkAlignment = std::max(alignof(std::max_align_t), 2 * sizeof(void*));

// Measuring agrees with splitting, and the split's block holds the argv array and then the
// strings, packed, with nothing reserved beyond them.
void expectExactBlock(std::string_view text, const std::vector<std::string>& argv) {
    CommandLineShape shape = measureCommandLine(text);
    EXPECT_TRUE(shape == shapeOf(argv)) << "measured " << shape.elements << " elements, "
                                        << shape.bytes << " bytes, longest " << shape.longest;
    std::unique_ptr<char*, decltype(&std::free)> split(splitCommandLine(text), &std::free);
    ASSERT_NE(split, nullptr);
    std::size_t exact = (shape.elements + 1) * sizeof(char*) + shape.bytes;
    EXPECT_LT(allocatedSize(split.get()), exact + 2 * kChunkAlignment);
    if (shape.elements == 0) return;
    char* strings = reinterpret_cast<char*>(split.get() + shape.elements + 1);
    char* last = split.get()[shape.elements - 1];
    EXPECT_EQ(split.get()[0], strings) << "the strings do not follow the array";
    EXPECT_EQ(last + std::strlen(last) + 1, strings + shape.bytes) << "the strings are not packed";
}

void expectSplits(const std::vector<CommandLineCase>& cases) {
    for (const auto& c : cases) {
        SCOPED_TRACE("command line [" + std::string(c.text) + "]");
        EXPECT_EQ(splitToStrings(c.text), c.argv);
        expectExactBlock(c.text, c.argv);
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
        SCOPED_TRACE("command line [" + commandLine + "]");
        EXPECT_EQ(splitToStrings(commandLine), argv);
        expectExactBlock(commandLine, argv);
    }
}

}  // namespace
