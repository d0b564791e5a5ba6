#include "system_message_windows.h"

#include <algorithm>

#include "failure_line.h"

namespace {

bool isLayout(char16_t c) {
    return c == u'\r' || c == u'\n' || c == u'\t' || c == u' ';
}

// Calls `piece(part, isProgram)` for the parts of a message in order: its own text, and the
// program in place of each %1 (with any !format! after it). An escape gives the character after
// its %, so %%1 is not taken for an insert; a line break or tab gives one space. Views are made
// by hand: substr may throw, and its throw would link the C++ runtime's exception support into
// the library.
template <typename Piece>
void forEachPart(std::u16string_view message, Piece&& piece) {
    std::size_t from = 0;
    auto textUpTo = [&](std::size_t i) { piece({message.data() + from, i - from}, false); };
    for (std::size_t i = 0; i < message.size(); ++i) {
        char16_t c = message[i];
        if (c == u'\r' || c == u'\n' || c == u'\t') {
            textUpTo(i);
            piece(u" ", false);
            if (c == u'\r' && i + 1 < message.size() && message[i + 1] == u'\n') ++i;
            from = i + 1;
            continue;
        }
        if (c != u'%' || i + 1 == message.size()) continue;
        char16_t next = message[i + 1];
        if (next == u'%' || next == u'.' || next == u'!') {
            textUpTo(i);
            from = ++i;  // the character itself starts the next part
            continue;
        }
        bool endsThere = i + 2 == message.size() || message[i + 2] < u'0' || message[i + 2] > u'9';
        if (next != u'1' || !endsThere) continue;
        textUpTo(i);
        piece(std::u16string_view(), true);
        from = i + 2;
        if (from < message.size() && message[from] == u'!') {
            std::size_t close = message.find(u'!', from + 1);
            if (close != std::u16string_view::npos) from = close + 1;
        }
        i = from - 1;
    }
    textUpTo(message.size());
}

}  // namespace

std::size_t oneLineMessage(std::u16string_view message, std::optional<std::u16string_view> program,
                           char* out) noexcept {
    while (!message.empty() && isLayout(message.back())) message.remove_suffix(1);
    std::u16string_view shown = program.value_or(u"the program");
    std::size_t quotes = program ? 2 : 0;
    std::size_t inserts = 0, own = 0;
    forEachPart(message, [&](std::u16string_view part, bool isProgram) {
        inserts += isProgram ? 1 : 0;
        own += utf8Length(part) + (isProgram ? quotes : 0);
    });
    std::size_t programRoom =
        inserts == 0 || own >= kMostMessageBytes ? 0 : (kMostMessageBytes - own) / inserts;
    char* end = out;
    auto append = [&](std::u16string_view part, std::size_t most) {
        std::size_t room = kMostMessageBytes - static_cast<std::size_t>(end - out);
        end += encodeUtf8Within(part, end, std::min(room, most));
    };
    forEachPart(message, [&](std::u16string_view part, bool isProgram) {
        if (!isProgram) return append(part, kMostMessageBytes);
        if (program) append(u"\"", 1);
        if (utf8Length(shown) <= programRoom) {
            append(shown, programRoom);
        } else if (programRoom >= 3) {
            append(shown, programRoom - 3);
            append(u"\u2026", 3);
        }
        if (program) append(u"\"", 1);
    });
    return static_cast<std::size_t>(end - out);
}
