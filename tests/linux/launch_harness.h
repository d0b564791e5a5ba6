// What the launcher tests share: a scratch directory, the probe's reports, the caller's
// output captured around a launch, the caller's children as /proc lists them, and a caller forked
// off the test for what cannot be undone (system call filters, limits, a cleared environment).
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <bit>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "../common/probe_report.h"
#include "launcher.h"

namespace fs = std::filesystem;

// A fresh directory under /tmp, removed with everything in it.
class ScratchDirectory {
  public:
    ScratchDirectory() {
        std::string pattern = (fs::temp_directory_path() / "startutil-XXXXXX").string();
        path_ = mkdtemp(pattern.data());
    }
    ~ScratchDirectory() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;
    const fs::path& path() const { return path_; }

  private:
    fs::path path_;
};

// Sets an environment variable for one scope and puts the old value back.
class ScopedEnvironment {
  public:
    ScopedEnvironment(const char* name, const std::string& value) : name_(name) {
        const char* old = std::getenv(name);
        if (old != nullptr) old_ = old;
        hadValue_ = old != nullptr;
        setenv(name, value.c_str(), 1);
    }
    ~ScopedEnvironment() {
        if (hadValue_) {
            setenv(name_, old_.c_str(), 1);
        } else {
            unsetenv(name_);
        }
    }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

  private:
    const char* name_;
    std::string old_;
    bool hadValue_;
};

inline std::string probePath() {
    return STARTUTIL_PROBE;
}

inline void copyProbe(const fs::path& to) {
    fs::copy_file(probePath(), to, fs::copy_options::overwrite_existing);
    fs::permissions(to, fs::perms::owner_all);
}

inline std::string readFile(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

inline ProbeReport readReport(const fs::path& file) {
    return parseProbeReport(readFile(file));
}

inline std::vector<fs::path> reportFiles(const fs::path& directory) {
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(directory)) {
        if (entry.path().extension() == ".report") files.push_back(entry.path());
    }
    return files;
}

// Polls until `count` reports are there or ten seconds have gone by without a new one (so at
// most ten seconds a report: emulated machines run hundreds of probes far slower than this
// one); returns what is there.
inline std::vector<ProbeReport> awaitReports(const fs::path& directory, std::size_t count) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    std::vector<fs::path> files = reportFiles(directory);
    while (files.size() < count && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        std::size_t before = files.size();
        files = reportFiles(directory);
        if (files.size() > before)
            deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    }
    std::vector<ProbeReport> reports;
    for (const auto& file : files) reports.push_back(readReport(file));
    return reports;
}

// The descriptors a probe reported, as "n=target" in ascending order.
inline std::vector<std::string> reportedDescriptors(const ProbeReport& report) {
    std::vector<std::string> fds;
    for (const auto& [key, value] : report) {
        if (key.rfind("fd.", 0) == 0) fds.push_back(key.substr(3) + "=" + value);
    }
    return fds;
}

struct ProcessState {
    pid_t pid;
    char state;
};

// A process's state and parent as /proc/PID/stat gives them, or none when it is gone. Read with
// read(2): the C++ streams throw when the process vanishes while its file is being read.
struct ProcessStat {
    char state;
    pid_t parent;
};
inline std::optional<ProcessStat> processStat(const fs::path& statFile) {
    int fd = open(statFile.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    char buffer[1024];
    ssize_t length = read(fd, buffer, sizeof buffer - 1);
    close(fd);
    if (length <= 0) return std::nullopt;
    std::string text(buffer, static_cast<std::size_t>(length));
    std::size_t close = text.rfind(')');
    if (close == std::string::npos) return std::nullopt;
    std::istringstream fields(text.substr(close + 2));
    ProcessStat stat{'?', 0};
    fields >> stat.state >> stat.parent;
    return stat;
}

// This process's children, zombies included, as /proc lists them.
inline std::vector<ProcessState> childrenOfThisProcess() {
    std::vector<ProcessState> children;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::optional<ProcessStat> stat = processStat(entry.path() / "stat");
        if (stat && stat->parent == getpid()) children.push_back({std::stoi(name), stat->state});
    }
    return children;
}

// The parent of a process, or 0 when it is gone.
inline pid_t parentOf(pid_t pid) {
    std::optional<ProcessStat> stat = processStat("/proc/" + std::to_string(pid) + "/stat");
    return stat ? stat->parent : 0;
}

inline std::size_t openDescriptorCount() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) ++count;
    return count;
}

// Standard output and error of this process, sent to files for one scope.
class CapturedOutput {
  public:
    explicit CapturedOutput(const fs::path& directory)
        : out_(directory / "stdout"), err_(directory / "stderr") {
        std::fflush(nullptr);
        savedOut_ = dup(1);
        savedErr_ = dup(2);
        redirect(out_, 1);
        redirect(err_, 2);
    }
    ~CapturedOutput() { restore(); }
    CapturedOutput(const CapturedOutput&) = delete;
    CapturedOutput& operator=(const CapturedOutput&) = delete;

    // Ends the capture; then stdout() and stderr() hold everything written.
    void restore() {
        if (savedOut_ < 0) return;
        std::fflush(nullptr);
        dup2(savedOut_, 1);
        dup2(savedErr_, 2);
        close(savedOut_);
        close(savedErr_);
        savedOut_ = savedErr_ = -1;
    }
    std::string stdoutText() const { return readFile(out_); }
    std::string stderrText() const { return readFile(err_); }

  private:
    static void redirect(const fs::path& file, int fd) {
        int opened = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        dup2(opened, fd);
        close(opened);
    }
    fs::path out_, err_;
    int savedOut_ = -1, savedErr_ = -1;
};

inline std::u16string widen(const std::string& ascii) {
    return std::u16string(ascii.begin(), ascii.end());
}

// A writable copy, as the bindings hand it over.
inline void launch(LaunchMode mode, std::u16string text) {
    invokeNonBlocking(mode, text.data());
}

// Makes this thread, and every thread and process it starts from now on, answer the system call
// `number` with `action` (only when its argument `argumentIndex`, counted from 0, is `argument`,
// if one is given). Returns the listener for SECCOMP_RET_USER_NOTIF, else 0; -1 when no filter
// could be installed. Irreversible: only for a caller forked off the test.
inline int filterSystemCall(long number, std::uint32_t action,
                            std::optional<std::uint32_t> argument = std::nullopt,
                            unsigned argumentIndex = 2) {
    constexpr sock_filter kNoOp = {BPF_JMP | BPF_JA, 0, 0, 0};
    // The low half of a 64-bit argument: its second word on a big-endian machine.
    constexpr std::size_t kLowHalf = std::endian::native == std::endian::big ? 4 : 0;
    auto argumentOffset = static_cast<std::uint32_t>(
        offsetof(seccomp_data, args) + argumentIndex * sizeof(std::uint64_t) + kLowHalf);
    sock_filter filter[] = {
        {BPF_LD | BPF_W | BPF_ABS, 0, 0, offsetof(seccomp_data, nr)},
        {BPF_JMP | BPF_JEQ | BPF_K, 0, 3, static_cast<std::uint32_t>(number)},
        argument ? sock_filter{BPF_LD | BPF_W | BPF_ABS, 0, 0, argumentOffset} : kNoOp,
        argument ? sock_filter{BPF_JMP | BPF_JEQ | BPF_K, 0, 1, *argument} : kNoOp,
        {BPF_RET | BPF_K, 0, 0, action},
        {BPF_RET | BPF_K, 0, 0, SECCOMP_RET_ALLOW},
    };
    sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
    unsigned flags = action == SECCOMP_RET_USER_NOTIF ? SECCOMP_FILTER_FLAG_NEW_LISTENER : 0;
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return -1;
    return static_cast<int>(syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, flags, &program));
}

// Runs `body` in a forked caller whose standard output is discarded and whose standard error
// goes to scratch/stderr; returns the caller's exit code, or -1 if it did not exit by itself.
inline int inForkedCaller(const ScratchDirectory& scratch, const std::function<int()>& body) {
    std::fflush(nullptr);
    pid_t caller = fork();
    if (caller == 0) {
        int null = open("/dev/null", O_WRONLY);
        int err = open((scratch.path() / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(null, 1);
        dup2(err, 2);
        _exit(body());
    }
    int status = 0;
    waitpid(caller, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Holds every execve of this process and what it starts until the test releases it, so that a
// launch can be caught with its program's process created but not yet exec'd. Only for a
// caller forked off the test, before it starts the thread that launches.
class ExecHold {
  public:
    ExecHold() : listener_(filterSystemCall(SYS_execve, SECCOMP_RET_USER_NOTIF)) {}
    ~ExecHold() {
        if (listener_ > 0) close(listener_);
    }
    ExecHold(const ExecHold&) = delete;
    ExecHold& operator=(const ExecHold&) = delete;

    // The process whose execve is now held, or 0 if none came within the time given.
    pid_t awaitExec(int milliseconds = 10000) {
        pollfd ready{listener_, POLLIN, 0};
        if (listener_ <= 0 || poll(&ready, 1, milliseconds) != 1) return 0;
        held_ = {};
        if (ioctl(listener_, SECCOMP_IOCTL_NOTIF_RECV, &held_) != 0) return 0;
        return static_cast<pid_t>(held_.pid);
    }

    // Lets the held execve go on as if nothing had stopped it.
    void release() {
        seccomp_notif_resp response{};
        response.id = held_.id;
        response.flags = SECCOMP_USER_NOTIF_FLAG_CONTINUE;
        ioctl(listener_, SECCOMP_IOCTL_NOTIF_SEND, &response);
    }

  private:
    int listener_;
    seccomp_notif held_{};
};
