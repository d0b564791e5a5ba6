// Where the library's output goes: one sink per system, for the echo and the failure line alike.
#pragma once

#include <string_view>

enum class StandardStream { Output, Error };

// How a failure line ends: as the system's own text files and consoles end a line.
#ifdef _WIN32
inline constexpr std::string_view kLineEnd = "\r\n";
#else
inline constexpr std::string_view kLineEnd = "\n";
#endif

// Writes UTF-8 bytes, exactly as they are, to the process's standard output or error, after what
// the C runtime still buffers for that stream, so that nothing written before is overtaken. Each
// call holds its stream's lock for its whole text: nothing else the library writes lands inside
// it, and a stream that blocks (a pipe nobody reads) holds up only the library's other lines to
// that stream. An empty text takes no lock and writes nothing. Against other writers it is one
// system write where the system takes it whole.
//
// Windows: to the handle GetStdHandle gives at the time of the call, the one tested: a console
// gets the text as UTF-16 (WriteConsoleW) in pieces of 4,096 units, so that it shows the
// characters whatever its code page; anything else gets the bytes in one WriteFile.
// POSIX: descriptor 1 or 2, in one write(2) unless the system takes less. A process forked
// (without exec) while another thread held a lock takes that lock over: its holder is not there.
// A write that fails is dropped: there is no one to tell.
void writeStandard(StandardStream stream, std::string_view utf8) noexcept;
