// startutil_probe: records how it was started (ids, terminal, directory, environment, argv,
// open descriptors, signal mask and ignored signals) as a report (tests/common/probe_report.h)
// in $STARTUTIL_PROBE_DIR, then exits. Everything is gathered before the probe opens a file of its
// own, so that its own descriptors never show up in the report.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "../common/probe_report.h"

namespace {

constexpr int kNoReportDirectory = 3;
constexpr int kCannotWriteReport = 4;
constexpr int kHighestSignal = 64;
constexpr long kMaxLingerMs = 60000;

using Line = std::pair<std::string, std::string>;

std::string describeTerminal() {
    int fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd >= 0) {
        close(fd);
        return "yes";
    }
    if (errno == ENXIO) return "none";
    return "error " + std::to_string(errno);
}

std::string currentDirectory() {
    std::vector<char> buffer(4096);
    while (getcwd(buffer.data(), buffer.size()) == nullptr) {
        if (errno != ERANGE) return "error " + std::to_string(errno);
        buffer.resize(buffer.size() * 2);
    }
    return buffer.data();
}

std::string linkTarget(const std::string& path) {
    std::vector<char> buffer(4096);
    ssize_t length = readlink(path.c_str(), buffer.data(), buffer.size());
    if (length < 0) return "error " + std::to_string(errno);
    return std::string(buffer.data(), static_cast<std::size_t>(length));
}

// One line per open descriptor, in ascending order, leaving out the one that lists them.
std::vector<Line> openDescriptors() {
    std::vector<int> fds;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) return {{"fd.error", std::to_string(errno)}};
    int own = dirfd(dir);
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        int fd = std::atoi(entry->d_name);
        if (fd != own) fds.push_back(fd);
    }
    closedir(dir);
    std::sort(fds.begin(), fds.end());
    std::vector<Line> lines;
    for (int fd : fds) {
        lines.emplace_back("fd." + std::to_string(fd),
                           linkTarget("/proc/self/fd/" + std::to_string(fd)));
    }
    return lines;
}

// The raw system calls: the C library hides the signals it keeps for itself (32 and 33) from
// its own sigprocmask and sigaction, and those are exactly the ones worth seeing.
std::uint64_t blockedSignals() {
    std::uint64_t mask = 0;
    if (syscall(SYS_rt_sigprocmask, SIG_BLOCK, nullptr, &mask, sizeof mask) != 0) return ~0ULL;
    return mask;
}

std::string ignoredSignals() {
    std::string list;
    for (int signal = 1; signal <= kHighestSignal; ++signal) {
        // The kernel's sigaction starts with the handler on every architecture; the rest of the
        // buffer is room for flags, restorer and mask.
        struct {
            void* handler;
            unsigned char rest[64];
        } action{};
        if (syscall(SYS_rt_sigaction, signal, nullptr, &action, sizeof(std::uint64_t)) != 0) {
            continue;
        }
        if (action.handler == reinterpret_cast<void*>(SIG_IGN)) {
            if (!list.empty()) list += ',';
            list += std::to_string(signal);
        }
    }
    return list;
}

std::string hex16(std::uint64_t value) {
    char buffer[17];
    std::snprintf(buffer, sizeof buffer, "%016llx", static_cast<unsigned long long>(value));
    return buffer;
}

std::vector<Line> gatherReport(int argc, char** argv) {
    std::vector<Line> lines;
    lines.emplace_back("pid", std::to_string(getpid()));
    lines.emplace_back("ppid", std::to_string(getppid()));
    lines.emplace_back("pgid", std::to_string(getpgid(0)));
    lines.emplace_back("sid", std::to_string(getsid(0)));
    lines.emplace_back("tty", describeTerminal());
    lines.emplace_back("cwd", currentDirectory());
    if (const char* env = std::getenv("STARTUTIL_PROBE_ENV")) lines.emplace_back("env", env);
    lines.emplace_back("argc", std::to_string(argc));
    for (int i = 0; i < argc; ++i) lines.emplace_back("argv." + std::to_string(i), argv[i]);
    for (auto& line : openDescriptors()) lines.push_back(std::move(line));
    lines.emplace_back("sigmask", hex16(blockedSignals()));
    lines.emplace_back("sigignored", ignoredSignals());
    return lines;
}

bool writeAll(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t written = write(fd, data.data(), data.size());
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        data.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

// Written under a temporary name and renamed, so that a reader sees all of it or nothing.
bool writeReport(const std::string& directory, const std::vector<Line>& lines) {
    std::string text;
    for (const auto& [key, value] : lines) text += probeReportLine(key, value);
    std::string stem = directory + '/' + std::to_string(getpid());
    std::string temporary = stem + ".tmp";
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    bool written = writeAll(fd, text);
    written = close(fd) == 0 && written;
    return written && rename(temporary.c_str(), (stem + ".report").c_str()) == 0;
}

void linger() {
    const char* value = std::getenv("STARTUTIL_PROBE_LINGER_MS");
    if (value == nullptr) return;
    long ms = std::strtol(value, nullptr, 10);
    if (ms <= 0) return;
    if (ms > kMaxLingerMs) ms = kMaxLingerMs;
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<Line> lines = gatherReport(argc, argv);
    const char* directory = std::getenv("STARTUTIL_PROBE_DIR");
    if (directory == nullptr) return kNoReportDirectory;
    if (!writeReport(directory, lines)) return kCannotWriteReport;
    linger();
    return 0;
}
