#include "command_line.h"

#include <cstdint>
#include <cstdlib>

namespace {

bool isWhiteSpace(char c) {
    return c == ' ' || c == '\t';
}

// Walks the text token by token and writes each token, terminated, at `out`; each token ends at
// white space outside quotes or at the end. No token is longer than the text it came from.
class TokenReader {
  public:
    TokenReader(std::string_view text, char* out) : rest_(text), out_(out) {}

    bool atEnd() const { return rest_.empty(); }

    void skipWhiteSpace() {
        while (!rest_.empty() && isWhiteSpace(rest_.front())) rest_.remove_prefix(1);
    }

    // The program name must be a valid path, so backslashes are plain characters and a quote
    // only switches quoting on or off (a path cannot hold a quote).
    char* programName() {
        char* start = out_;
        bool quoted = false;
        while (!tokenEnds(quoted)) {
            char c = take();
            if (c == '"') {
                quoted = !quoted;
            } else {
                *out_++ = c;
            }
        }
        *out_++ = '\0';
        return start;
    }

    // 2n backslashes and a quote give n backslashes and switch quoting; 2n+1 give n and a
    // literal quote; other backslashes are literal. A doubled quote inside quotes is a literal
    // quote, and quoting stays on.
    char* argument() {
        char* start = out_;
        bool quoted = false;
        while (!tokenEnds(quoted)) {
            if (next() == '\\') {
                std::size_t backslashes = takeBackslashes();
                bool escapesQuote = next() == '"';
                for (std::size_t i = escapesQuote ? backslashes / 2 : backslashes; i > 0; --i) {
                    *out_++ = '\\';
                }
                if (escapesQuote && backslashes % 2 == 1) *out_++ = take();
                continue;
            }
            char c = take();
            if (c != '"') {
                *out_++ = c;
            } else if (quoted && next() == '"') {
                *out_++ = take();
            } else {
                quoted = !quoted;
            }
        }
        *out_++ = '\0';
        return start;
    }

  private:
    bool tokenEnds(bool quoted) const {
        return rest_.empty() || (!quoted && isWhiteSpace(rest_.front()));
    }

    // The next character, or NUL at the end: it is only ever compared with a backslash or a quote.
    char next() const { return rest_.empty() ? '\0' : rest_.front(); }

    char take() {
        char c = rest_.front();
        rest_.remove_prefix(1);
        return c;
    }

    std::size_t takeBackslashes() {
        std::size_t count = 0;
        for (; next() == '\\'; ++count) rest_.remove_prefix(1);
        return count;
    }

    std::string_view rest_;
    char* out_;
};

}  // namespace

char** splitCommandLine(std::string_view commandLine) noexcept {
    // Every argument takes at least one character of the text and the program name may take
    // none, so n characters give at most n + 1 elements, and at most 2n + 1 bytes with their
    // terminators. Sized once, so that the split itself cannot fail.
    std::size_t length = commandLine.size();
    if (length > (SIZE_MAX - 1) / (sizeof(char*) + 2) - 2) return nullptr;
    std::size_t pointers = length + 2;
    auto** argv = static_cast<char**>(std::malloc(pointers * sizeof(char*) + 2 * length + 1));
    if (argv == nullptr) return nullptr;
    char** element = argv;
    // White space alone starts nothing; white space before a program gives an empty program
    // name, as the C runtime gives it.
    if (commandLine.find_first_not_of(" \t") != std::string_view::npos) {
        TokenReader reader(commandLine, reinterpret_cast<char*>(argv + pointers));
        *element++ = reader.programName();
        for (reader.skipWhiteSpace(); !reader.atEnd(); reader.skipWhiteSpace()) {
            *element++ = reader.argument();
        }
    }
    *element = nullptr;
    return argv;
}
