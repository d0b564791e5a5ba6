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

}  // namespace
