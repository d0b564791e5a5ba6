// The failure line: one line always, its quote and message cut between characters, its code
// unsigned; and a Windows system message made part of it.
#include <gtest/gtest.h>

#include "library_text.h"
#include "system_message_windows.h"

namespace {

// How a captured failure line ends: GoogleTest reads captures back in text mode, where Windows'
// CR LF reads as LF (the Windows suite checks the CR LF itself).
const std::string kEnd = "\n";
// Windows failure codes are DWORDs: NTSTATUS-style ones have the top bit set.
TEST(ReportLaunchFailure, WritesOneLineWithTheCodeUnsigned) {
    testing::internal::CaptureStderr();
    reportLaunchFailure(u"C:\\app\u00e9.exe", "Application error.\r\n", 0xC0000142UL);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "StartUtil: cannot start \"C:\\app\xc3\xa9.exe\": Application error. (error "
              "3221225794)" +
                  kEnd);
}

// The quote is cut after 1000 units, never inside a surrogate pair, and says how long the text
// was; a NUL shows as U+2400; a command whose characters could not be had is named by length.
TEST(ReportLaunchFailure, QuotesLongTextsInPartAndShowsNulsAsASymbol) {
    const std::u16string a999(999, u'a');
    const std::string quote999(999, 'a');
    struct Case {
        const char* behaviour;
        std::u16string text;
        std::string named;
    } cases[] = {
        {"1000 units, whole", a999 + u"b", "\"" + quote999 + "b\""},
        {"1001 units, cut", a999 + u"bc", "\"" + quote999 + "b\xE2\x80\xA6\" (1001 characters)"},
        {"a pair across the cut stays whole", a999 + u"\U0001F600",
         "\"" + quote999 + "\xE2\x80\xA6\" (1001 characters)"},
        {"NUL", std::u16string(u"a\0b", 3),
         "\"a\xE2\x90\x80"
         "b\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.behaviour);
        testing::internal::CaptureStderr();
        reportLaunchFailure(std::u16string_view(c.text), "Why.", 22);
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "StartUtil: cannot start " + c.named + ": Why. (error 22)" + kEnd);
    }
    testing::internal::CaptureStderr();
    reportUncopiedCommand(30000000, "Cannot allocate memory", 12);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "StartUtil: cannot start (a command of 30000000 characters): Cannot allocate memory "
              "(error 12)" +
                  kEnd);
}
// A message beyond its bytes is cut before the character that would not fit.
TEST(ReportLaunchFailure, CutsItsMessageBetweenCharacters) {
    std::string message = std::string(kMostMessageBytes - 1, 'm') + "\xE2\x80\xA6 and more";
    testing::internal::CaptureStderr();
    reportLaunchFailure(u"app", message, 5);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "StartUtil: cannot start \"app\": " + std::string(kMostMessageBytes - 1, 'm') +
                  " (error 5)" + kEnd);
}

// Whatever would end the line or steer a terminal, in the text or in the message, shows as a
// symbol: a text built to forge a second `StartUtil:` line stays inside the one line.
TEST(ReportLaunchFailure, ShowsLineBreaksAndControlsAsSymbolsSoTheFailureIsOneLine) {
    const std::u16string text = u"first\nStartUtil: forged line\r\n\t\x1b[2J\x7f\x85\u2028\u2029";
    const std::string quoted =
        "\"first\u240aStartUtil: forged line\u240d\u240a\u2409\u241b[2J\u2421"
        "\u2424\u2424\u2424\"";
    testing::internal::CaptureStderr();
    reportLaunchFailure(text, "Why\r\nnot\x1b \xc2\x85 \xe2\x80\xa8.", 2);
    std::string line = testing::internal::GetCapturedStderr();
    EXPECT_EQ(line, "StartUtil: cannot start " + quoted +
                        ": Why\u240d\u240anot\u241b \u2424 \u2424. (error 2)" + kEnd);
    EXPECT_EQ(lineBreakAt(line), line.size() - kEnd.size()) << line;
}

// Every symbol takes the three bytes utf8Capacity allows for the one unit it stands for, so
// a quote of controls only still fits the line; a message of them is cut between symbols.
TEST(ReportLaunchFailure, AQuoteAndAMessageOfControlsOnlyStayWithinTheLine) {
    const std::u16string text(kQuotedUnits + 5, u'\n');
    std::string symbols;
    for (std::size_t i = 0; i < kQuotedUnits; ++i) symbols += "\u240a";
    testing::internal::CaptureStderr();
    reportLaunchFailure(text, std::string(kMostMessageBytes, '\x1b'), 1);
    std::string line = testing::internal::GetCapturedStderr();
    std::string message;
    for (std::size_t i = 0; i < kMostMessageBytes / 3; ++i) message += "\u241b";
    EXPECT_EQ(line, "StartUtil: cannot start \"" + symbols +
                        "\u2026\" (1005 characters): " + message + " (error 1)" + kEnd);
}

struct MessageCase {
    const char* behaviour;
    std::u16string message;
    std::optional<std::u16string_view> program;
    std::string line;
};

// FormatMessageW with its inserts ignored leaves the escapes and turns a hard %n into CR LF:
// the escapes become their characters, every line break one space; only %1 is filled.
TEST(OneLineMessage, FillsTheProgramResolvesEscapesAndJoinsLines) {
    const MessageCase cases[] = {
        {"%1 in quotes", u"%1 is not a valid Win32 application.\r\n", u"C:\\rev dir\\notpe.exe",
         "\"C:\\rev dir\\notpe.exe\" is not a valid Win32 application."},
        {"no program to name", u"%1 is not valid.", std::nullopt, "the program is not valid."},
        {"escapes", u"100%% sure%. Really%! Not %%1, not %2.", u"p",
         "100% sure. Really! Not %1, not %2."},
        {"hard and soft line breaks", u"First.\r\nSecond.\rThird.\nFourth.\tEnd. \r\n", u"p",
         "First. Second. Third. Fourth. End."},
        {"%1 with a format", u"Bad %1!s! here, %10 not.", u"x", "Bad \"x\" here, %10 not."},
        {"nothing but layout", u" \r\n", u"p", ""},
    };
    for (const MessageCase& c : cases) {
        SCOPED_TRACE(c.behaviour);
        char out[kMostMessageBytes];
        EXPECT_EQ(std::string(out, oneLineMessage(c.message, c.program, out)), c.line);
    }
}

}  // namespace
