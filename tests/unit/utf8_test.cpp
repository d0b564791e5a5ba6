// UTF-16 to UTF-8: every range, lone surrogates, and whole characters within a room.
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

}  // namespace
