#include "command_line.h"

namespace {

bool isWhiteSpace(char c) {
    return c == ' ' || c == '\t';
}

// Walks the text token by token; each token ends at white space outside quotes or at the end.
class TokenReader {
  public:
    explicit TokenReader(std::string_view text) : rest_(text) {}

    bool atEnd() const { return rest_.empty(); }

    void skipWhiteSpace() {
        while (!rest_.empty() && isWhiteSpace(rest_.front())) rest_.remove_prefix(1);
    }

    // The program name must be a valid path, so backslashes are plain characters and a quote
    // only switches quoting on or off (a path cannot hold a quote).
    std::string programName() {
        std::string name;
        bool quoted = false;
        while (!tokenEnds(quoted)) {
            char c = take();
            if (c == '"') {
                quoted = !quoted;
            } else {
                name += c;
            }
        }
        return name;
    }

    // 2n backslashes and a quote give n backslashes and switch quoting; 2n+1 give n and a
    // literal quote; other backslashes are literal. A doubled quote inside quotes is a literal
    // quote, and quoting stays on.
    std::string argument() {
        std::string arg;
        bool quoted = false;
        while (!tokenEnds(quoted)) {
            if (next() == '\\') {
                std::size_t backslashes = takeBackslashes();
                bool escapesQuote = next() == '"';
                arg.append(escapesQuote ? backslashes / 2 : backslashes, '\\');
                if (escapesQuote && backslashes % 2 == 1) arg += take();
                continue;
            }
            char c = take();
            if (c != '"') {
                arg += c;
            } else if (quoted && next() == '"') {
                arg += take();
            } else {
                quoted = !quoted;
            }
        }
        return arg;
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
};

}  // namespace

std::vector<std::string> splitCommandLine(std::string_view commandLine) {
    std::vector<std::string> argv;
    // White space alone starts nothing; white space before a program gives an empty program
    // name, as the C runtime gives it.
    if (commandLine.find_first_not_of(" \t") == std::string_view::npos) return argv;
    TokenReader reader(commandLine);
    argv.push_back(reader.programName());
    for (reader.skipWhiteSpace(); !reader.atEnd(); reader.skipWhiteSpace()) {
        argv.push_back(reader.argument());
    }
    return argv;
}
