#include <gtest/gtest.h>

#include "library_text.h"

namespace {

struct Utf8Case {
    std::u16string text;
    std::string utf8;
};

TEST(ToUtf8, EncodesEveryRangeAndReplacesLoneSurrogates) {
    const Utf8Case cases[] = {
        {u"", ""},
        {u"C:\\Program Files\\app.exe", "C:\\Program Files\\app.exe"},
        {u"\u00e9", "\xc3\xa9"},                           // two bytes
        {u"\u65e5\u672c", "\xe6\x97\xa5\xe6\x9c\xac"},     // three bytes
        {u"\U0001F600", "\xf0\x9f\x98\x80"},               // a surrogate pair, four bytes
        {u"a\xD800z", "a\xef\xbf\xbdz"},                   // lone high surrogate
        {u"a\xDC00z", "a\xef\xbf\xbdz"},                   // lone low surrogate
        {u"\xDC00\xD800", "\xef\xbf\xbd\xef\xbf\xbd"},     // a pair in the wrong order
        {std::u16string(u"a\xD800", 2), "a\xef\xbf\xbd"},  // high surrogate at the very end
    };
    for (const auto& c : cases) {
        EXPECT_EQ(toUtf8(c.text), c.utf8) << "case " << toUtf8(c.text);
    }
}

// Windows failure codes are DWORDs: NTSTATUS-style ones have the top bit set.
TEST(ReportLaunchFailure, WritesOneLineWithTheCodeUnsigned) {
    testing::internal::CaptureStderr();
    reportLaunchFailure(u"C:\\app\u00e9.exe", "Application error.\r\n", 0xC0000142UL);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "StartUtil: cannot start \"C:\\app\xc3\xa9.exe\": Application error. (error "
              "3221225794)\n");
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
                  "StartUtil: cannot start " + c.named + ": Why. (error 22)\n");
    }
    testing::internal::CaptureStderr();
    reportUncopiedCommand(30000000, "Cannot allocate memory", 12);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "StartUtil: cannot start (a command of 30000000 characters): Cannot allocate memory "
              "(error 12)\n");
}

// Only whole characters are written within the room given: a message cut to fit never ends in
// part of one.
TEST(ToUtf8, WithinARoomWritesWholeCharactersOnly) {
    const std::u16string text = u"a\u00e9\u65e5\U0001F600";  // 1, 2, 3 and 4 bytes
    const std::size_t wholeUpTo[] = {0, 1, 1, 3, 3, 3, 6, 6, 6, 6, 10, 10};
    for (std::size_t room = 0; room < std::size(wholeUpTo); ++room) {
        char out[16];
        EXPECT_EQ(encodeUtf8Within(text, out, room), wholeUpTo[room]) << "room " << room;
    }
}

std::string writtenLine;
void keepLine(std::string_view line) noexcept {
    writtenLine.assign(line);
}

// The line goes to the writer given, in one piece; a message beyond its bytes is cut before the
// character that would not fit.
TEST(ReportLaunchFailure, GoesToTheWriterGivenWithItsMessageCutBetweenCharacters) {
    std::string message = std::string(kMostMessageBytes - 1, 'm') + "\xE2\x80\xA6 and more";
    reportLaunchFailure(u"app", message, 5, keepLine);
    EXPECT_EQ(writtenLine, "StartUtil: cannot start \"app\": " +
                               std::string(kMostMessageBytes - 1, 'm') + " (error 5)\n");
}

}  // namespace
