#include "command_line.h"

#include <cstdint>
#include <cstdlib>

namespace {

bool isWhiteSpace(char c) {
    return c == ' ' || c == '\t';
}

// One element as the reader produced it: where it was written (null when only measuring) and
// its length without the terminator.
struct Token {
    char* text;
    std::size_t length;
};

// Walks the text token by token and writes each token, terminated, at `out`; with a null `out`
// it only measures them, so that measuring and splitting cannot follow different rules. Each
// token ends at white space outside quotes or at the end.
class TokenReader {
  public:
    TokenReader(std::string_view text, char* out) : rest_(text), out_(out) {}

    bool atEnd() const { return rest_.empty(); }

    void skipWhiteSpace() {
        while (!rest_.empty() && isWhiteSpace(rest_.front())) rest_.remove_prefix(1);
    }

    // The program name must be a valid path, so backslashes are plain characters and a quote
    // only switches quoting on or off (a path cannot hold a quote).
    Token programName() {
        Token token{out_, 0};
        bool quoted = false;
        while (!tokenEnds(quoted)) {
            char c = take();
            if (c == '"') {
                quoted = !quoted;
            } else {
                put(token, c);
            }
        }
        terminate();
        return token;
    }

    // 2n backslashes and a quote give n backslashes and switch quoting; 2n+1 give n and a
    // literal quote; other backslashes are literal. A doubled quote inside quotes is a literal
    // quote, and quoting stays on.
    Token argument() {
        Token token{out_, 0};
        bool quoted = false;
        while (!tokenEnds(quoted)) {
            if (next() == '\\') {
                std::size_t backslashes = takeBackslashes();
                bool escapesQuote = next() == '"';
                for (std::size_t i = escapesQuote ? backslashes / 2 : backslashes; i > 0; --i) {
                    put(token, '\\');
                }
                if (escapesQuote && backslashes % 2 == 1) put(token, take());
                continue;
            }
            char c = take();
            if (c != '"') {
                put(token, c);
            } else if (quoted && next() == '"') {
                put(token, take());
            } else {
                quoted = !quoted;
            }
        }
        terminate();
        return token;
    }

  private:
    void put(Token& token, char c) {
        if (out_ != nullptr) *out_++ = c;
        ++token.length;
    }

    void terminate() {
        if (out_ != nullptr) *out_++ = '\0';
    }

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

// Hands every element to `use` in order. White space alone starts nothing; white space before a
// program gives an empty program name, as the C runtime gives it.
template <typename Use>
void readElements(std::string_view commandLine, char* out, Use use) {
    if (commandLine.find_first_not_of(" \t") == std::string_view::npos) return;
    TokenReader reader(commandLine, out);
    use(reader.programName());
    for (reader.skipWhiteSpace(); !reader.atEnd(); reader.skipWhiteSpace()) {
        use(reader.argument());
    }
}

}  // namespace

CommandLineShape measureCommandLine(std::string_view commandLine) noexcept {
    CommandLineShape shape{0, 0, 0};
    readElements(commandLine, nullptr, [&shape](Token token) {
        ++shape.elements;
        shape.bytes += token.length + 1;
        if (token.length > shape.longest) shape.longest = token.length;
    });
    return shape;
}

char** splitCommandLine(std::string_view commandLine) noexcept {
    // Measured first, then written by the same reader into a block of exactly that size: a text
    // of n bytes can give up to n + 1 elements, and reserving for that costs ten bytes per byte.
    CommandLineShape shape = measureCommandLine(commandLine);
    std::size_t pointers = shape.elements + 1;
    if (pointers > (SIZE_MAX - shape.bytes) / sizeof(char*)) return nullptr;
    auto** argv = static_cast<char**>(std::malloc(pointers * sizeof(char*) + shape.bytes));
    if (argv == nullptr) return nullptr;
    char** element = argv;
    readElements(commandLine, reinterpret_cast<char*>(argv + pointers),
                 [&element](Token token) { *element++ = token.text; });
    *element = nullptr;
    return argv;
}
