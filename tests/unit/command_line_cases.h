// Command lines and the argv the C runtime gives for each, shared by the unit tests and the
// differential test that replays them through the C runtime itself.
#pragma once

#include <string>
#include <string_view>
#include <vector>

struct CommandLineCase {
    std::string_view text;
    std::vector<std::string> argv;
};

// The program name: quotes group and vanish, backslashes stay as they are.
inline const std::vector<CommandLineCase> kProgramNameCases = {
    {"prog", {"prog"}},
    {"prog a b", {"prog", "a", "b"}},
    {R"("C:\Program Files\app.exe" -x)", {R"(C:\Program Files\app.exe)", "-x"}},
    {R"(C:\dir\app.exe a)", {R"(C:\dir\app.exe)", "a"}},
    {R"(\\server\share\app.exe a)", {R"(\\server\share\app.exe)", "a"}},
    {R"("" a)", {"", "a"}},
    {R"("a b"c d)", {"a bc", "d"}},
    {R"(a"b c"d e)", {"ab cd", "e"}},
    {R"("unterminated program)", {"unterminated program"}},
    {"  prog a", {"", "prog", "a"}},
    {"\tprog", {"", "prog"}},
};

// A backslash before a quote, or a doubled quote, in the program name: the documented rule
// reads a path there, as process creation does. Wine's C runtime reads the program name by the
// argument rules instead (`"C:\dir\" a` gives `C:\dir" a`, `"a""b" c` gives `a"b` and `c`),
// so these stay out of the differential run.
inline const std::vector<CommandLineCase> kProgramNamePathCases = {
    {R"("C:\dir\" a)", {R"(C:\dir\)", "a"}},
    {R"(C:\dir\"x y" a)", {R"(C:\dir\x y)", "a"}},
    {R"("a""b" c)", {"ab", "c"}},
};

inline const std::vector<CommandLineCase> kWhiteSpaceCases = {
    {"p a  b\t\tc", {"p", "a", "b", "c"}},
    {"p a b \t ", {"p", "a", "b"}},
    {"p\ta", {"p", "a"}},
    {R"(p a "" b)", {"p", "a", "", "b"}},
    {R"(p "a  b" "	c	")", {"p", "a  b", "\tc\t"}},
    {"p a\nb\rc\vd", {"p", "a\nb\rc\vd"}},  // only space and tab separate
};

inline const std::vector<CommandLineCase> kBackslashQuoteCases = {
    {R"(p a\b a\\b a\\\b)", {"p", R"(a\b)", R"(a\\b)", R"(a\\\b)"}},
    {R"(p \"a\")", {"p", R"("a")"}},
    {R"(p a\\"b c")", {"p", R"(a\b c)"}},
    {R"(p a\\\"b)", {"p", R"(a\"b)"}},
    {R"(p a\\\\"b c")", {"p", R"(a\\b c)"}},
    {R"(p "a\\" b)", {"p", R"(a\)", "b"}},
    {R"(p "a\" b")", {"p", R"(a" b)"}},
    {R"(p "C:\dir\\" next)", {"p", R"(C:\dir\)", "next"}},
    {R"(p a\)", {"p", R"(a\)"}},
    {R"(p a\\ b)", {"p", R"(a\\)", "b"}},
    {R"(p a"b"c)", {"p", "abc"}},
};

// Two quotes inside quotes give one literal quote and quoting goes on, as in the C runtime
// since 2008 and Wine's; older runtimes and the shell's splitter end quoting there instead
// (`a"b"" c d` gives `ab"`, `c`, `d`).
inline const std::vector<CommandLineCase> kDoubledQuoteCases = {
    {R"(p "a""b")", {"p", R"(a"b)"}},  {R"(p "a""b c")", {"p", R"(a"b c)"}},
    {R"(p """")", {"p", R"(")"}},      {R"(p """ a")", {"p", R"(" a)"}},
    {R"(p """""")", {"p", R"("")"}},   {R"(p a""b)", {"p", "ab"}},
    {R"(p """a b)", {"p", R"("a b)"}}, {R"(p a"b"" c d)", {"p", R"(ab" c d)"}},
};

inline const std::vector<CommandLineCase> kUnterminatedQuoteCases = {
    {R"(p "a b)", {"p", "a b"}},   {"p \"a b \t ", {"p", "a b \t "}}, {R"(p a ")", {"p", "a", ""}},
    {R"(p "a\")", {"p", R"(a")"}}, {R"(p a"b c)", {"p", "ab c"}},
};

// The C runtime never sees these: with an empty command line the system passes the program's
// path instead, and white space alone names no program to start.
inline const std::vector<CommandLineCase> kEmptyCases = {
    {"", {}},
    {"   ", {}},
    {"\t \t", {}},
};

// Multi-byte characters hold no ASCII byte, so they pass through whole.
inline const std::vector<CommandLineCase> kUtf8Cases = {
    {"p \xc3\xa9 \"\xc3\xbc \xc3\x9f\" \xe6\x97\xa5\xe6\x9c\xac",
     {"p", "\xc3\xa9", "\xc3\xbc \xc3\x9f", "\xe6\x97\xa5\xe6\x9c\xac"}},
    {"\"C:\\Programm\xc3\xa9 x\\app.exe\" \xf0\x9f\x98\x80",
     {"C:\\Programm\xc3\xa9 x\\app.exe", "\xf0\x9f\x98\x80"}},
    {"p \xc3\xa9\\\"\xc3\xa9", {"p", "\xc3\xa9\"\xc3\xa9"}},
};

// No shell reads the text: its metacharacters are plain characters.
inline const std::vector<CommandLineCase> kShellMetacharacterCases = {
    {"p $HOME ; | * ? > < & `x` ~ %PATH%",
     {"p", "$HOME", ";", "|", "*", "?", ">", "<", "&", "`x`", "~", "%PATH%"}},
    {"p 'a b' a;b a|b $(x)", {"p", "'a", "b'", "a;b", "a|b", "$(x)"}},
};
