// POSIX: the program is started by a short-lived intermediate process, so that it is never the
// caller's child and leaves no zombie behind; it leads a session of its own.
#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "command_line.h"
#include "launcher.h"
#include "report.h"

extern "C" char** environ;

namespace {

// Each of the two processes that share the caller's memory runs on a stack of its own.
constexpr std::size_t kStackSize = 32 * 1024;
// The kernel's signal set: signals 1..64, one bit each.
constexpr std::uint64_t kAllSignals = ~std::uint64_t{0};
constexpr int kHighestSignal = 64;
// The outcome before anyone has written one: the intermediate died before it could tell.
constexpr int kNoOutcome = -1;

// Everything the processes that share the caller's memory need, built before they exist.
struct LaunchPlan {
    std::vector<std::string> arguments;
    std::vector<char*> argv;  // into arguments, null-terminated
    std::vector<std::string> candidates;
    char** envp = nullptr;
    std::unique_ptr<char[]> stacks;
    // 0 once the program is running, else the errno of the failure. Written by the
    // intermediate or the program's process, read by the caller once the intermediate is gone.
    std::atomic<int> outcome{kNoOutcome};
};

// ---------------------------------------------------------------------------------------------
// What runs in the intermediate and in the program's process before exec.
//
// Both share the caller's memory and its thread's TLS (no CLONE_SETTLS), and one of the caller's
// threads may have been inside malloc, stdio or any lock when it called us. So this code may not
// allocate, take a lock, throw, or call anything that is not async-signal-safe: it reads the
// plan the caller built and makes system calls. The caller's thread is suspended until both
// are done (CLONE_VFORK), so errno, which they share with it, may be written: the caller puts
// its own errno back before it returns. Signals stay blocked until just before exec, and every
// disposition is reset first, so that no handler of the caller ever runs on these stacks.
// ---------------------------------------------------------------------------------------------

// The kernel's sigaction; the C library's refuses the signals it keeps for itself (32, 33).
struct KernelSigaction {
    void* handler;
    unsigned long flags;
    void* restorer;
    std::uint64_t mask;
};

void setSignalMask(std::uint64_t mask, std::uint64_t* previous) {
    syscall(SYS_rt_sigprocmask, SIG_SETMASK, &mask, previous, sizeof mask);
}

// Every signal back to its default: handlers would run the caller's code in the wrong process,
// and exec keeps ignored signals ignored (a VM started under nohup ignores SIGHUP).
void resetSignalDispositions() {
    KernelSigaction defaultAction{};  // SIG_DFL, no flags, empty mask
    for (int signal = 1; signal <= kHighestSignal; ++signal) {
        if (signal == SIGKILL || signal == SIGSTOP) continue;
        syscall(SYS_rt_sigaction, signal, &defaultAction, nullptr, sizeof(std::uint64_t));
    }
}

// Closes every descriptor from 3 up when close_range is missing (kernels before 5.9): lists
// /proc/self/fd, which names this process's table, and closes what it finds until a pass finds
// nothing; a brute-force sweep up to the limit when /proc is not there.
void closeDescriptorsByListing() {
    int directory = static_cast<int>(
        syscall(SYS_openat, AT_FDCWD, "/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directory < 0) {
        rlimit limit{};
        getrlimit(RLIMIT_NOFILE, &limit);
        for (rlim_t fd = 3; fd < limit.rlim_cur; ++fd) syscall(SYS_close, fd);
        return;
    }
    alignas(8) char buffer[4096];
    for (bool closedAny = true; closedAny;) {
        closedAny = false;
        lseek(directory, 0, SEEK_SET);
        long length;
        while ((length = syscall(SYS_getdents64, directory, buffer, sizeof buffer)) > 0) {
            for (long offset = 0; offset < length;) {
                auto* entry = reinterpret_cast<struct dirent64*>(buffer + offset);
                offset += entry->d_reclen;
                int fd = 0;
                bool number = entry->d_name[0] != '\0';
                for (const char* c = entry->d_name; *c != '\0' && number; ++c) {
                    number = *c >= '0' && *c <= '9';
                    fd = fd * 10 + (*c - '0');
                }
                if (!number || fd < 3 || fd == directory) continue;
                syscall(SYS_close, fd);
                closedAny = true;
            }
        }
    }
    syscall(SYS_close, directory);
}

// Standard input, output and error become /dev/null and nothing else stays open. The table is
// the intermediate's own copy (no CLONE_FILES), so the caller's descriptors are untouched, and
// descriptors another thread opens meanwhile are in the copy or not at all.
int isolateDescriptors() {
    if (syscall(SYS_close_range, 3U, ~0U, 0U) != 0) closeDescriptorsByListing();
    // Opened after the sweep, so a caller at its descriptor limit still has room for it.
    int null = static_cast<int>(syscall(SYS_openat, AT_FDCWD, "/dev/null", O_RDWR));
    if (null < 0) return errno;
    for (int fd = 0; fd <= 2; ++fd) {
        if (fd != null && syscall(SYS_dup3, null, fd, 0) < 0) return errno;
    }
    if (null > 2) syscall(SYS_close, null);
    return 0;
}

// execvp's rules, without its shell: a missing or unusable candidate moves on to the next, a
// permission failure is remembered and reported if nothing else is found, and anything else
// (ENOEXEC, E2BIG, ...) ends the search.
bool searchGoesOn(int error) {
    return error == ENOENT || error == EACCES || error == ENOTDIR || error == ESTALE ||
           error == ENODEV || error == ETIMEDOUT;
}

int runProgram(void* argument) {
    auto* plan = static_cast<LaunchPlan*>(argument);
    if (setsid() < 0) {
        plan->outcome.store(errno);
        _exit(127);
    }
    setSignalMask(0, nullptr);
    int error = ENOENT;
    bool denied = false;
    for (const std::string& candidate : plan->candidates) {
        execve(candidate.c_str(), plan->argv.data(), plan->envp);
        error = errno;
        denied = denied || error == EACCES;
        if (!searchGoesOn(error)) break;
    }
    plan->outcome.store(searchGoesOn(error) && denied ? EACCES : error);
    _exit(127);
}

char* stackTop(char* base) {
    auto top = reinterpret_cast<std::uintptr_t>(base + kStackSize);
    return reinterpret_cast<char*>(top & ~std::uintptr_t{15});
}

int runIntermediate(void* argument) {
    auto* plan = static_cast<LaunchPlan*>(argument);
    resetSignalDispositions();
    if (int error = isolateDescriptors(); error != 0) {
        plan->outcome.store(error);
        _exit(0);
    }
    // SIGCHLD as the program's exit signal: whoever adopts it once we are gone reaps it as usual.
    pid_t program = clone(runProgram, stackTop(plan->stacks.get() + kStackSize),
                          CLONE_VM | CLONE_VFORK | SIGCHLD, plan);
    if (program < 0) {
        plan->outcome.store(errno);
    } else if (plan->outcome.load() == kNoOutcome) {
        plan->outcome.store(0);  // resumed by exec, not by _exit
    } else {
        // Failed before exec: our zombie to reap, not init's. The raw call, because waitpid is a
        // cancellation point and would act on the cancellation state of the caller's thread.
        syscall(SYS_wait4, program, nullptr, __WALL, nullptr);
    }
    _exit(0);
}

// ---------------------------------------------------------------------------------------------
// The caller's side: builds the plan, starts the intermediate and reaps exactly that process.
// ---------------------------------------------------------------------------------------------

// The paths execvp would try for a program name, in order: a name with a slash is a path; else
// each PATH element (the default path when PATH is unset, the working directory for an empty
// element).
std::vector<std::string> programCandidates(const std::string& program) {
    if (program.find('/') != std::string::npos) return {program};
    const char* path = std::getenv("PATH");
    std::string_view elements = path != nullptr ? path : "/bin:/usr/bin";
    std::vector<std::string> candidates;
    while (true) {
        std::size_t colon = elements.find(':');
        std::string_view element = elements.substr(0, colon);
        candidates.push_back(element.empty() ? program : std::string(element) + '/' + program);
        if (colon == std::string_view::npos) break;
        elements.remove_prefix(colon + 1);
    }
    return candidates;
}

// Fills the plan's argv and candidates; returns 0 or the errno of a text that names no program.
int planProgram(LaunchMode mode, const char16_t* text, LaunchPlan& plan) {
    std::u16string_view units(text);
    std::string utf8(utf8Capacity(units.size()), '\0');
    utf8.resize(encodeUtf8(units, utf8.data()));
    if (mode == LaunchMode::ProgramPath) {
        plan.candidates = {utf8};
        plan.arguments = {std::move(utf8)};
    } else {
        std::unique_ptr<char*, decltype(&std::free)> argv(splitCommandLine(utf8), &std::free);
        if (argv == nullptr) return ENOMEM;
        for (char** element = argv.get(); *element != nullptr; ++element) {
            plan.arguments.emplace_back(*element);
        }
        if (plan.arguments.empty()) return ENOENT;
        plan.candidates = programCandidates(plan.arguments.front());
    }
    if (plan.arguments.front().empty()) return ENOENT;
    for (std::string& argument : plan.arguments) plan.argv.push_back(argument.data());
    plan.argv.push_back(nullptr);
    plan.envp = environ;
    plan.stacks.reset(new char[2 * kStackSize]);
    return 0;
}

// Reaps the intermediate and only it: __WALL because it signals nobody when it exits. ECHILD
// means the application reaped it already, which is no failure.
void reap(pid_t intermediate) {
    while (waitpid(intermediate, nullptr, __WALL) < 0 && errno == EINTR) {
    }
}

// Starts the program; returns 0, or the errno of the failure.
int startDetached(LaunchMode mode, const char16_t* text) {
    if (text == nullptr) return EINVAL;
    LaunchPlan plan;
    try {
        if (int error = planProgram(mode, text, plan); error != 0) return error;
    } catch (const std::bad_alloc&) {
        return ENOMEM;
    } catch (const std::length_error&) {
        return E2BIG;
    }
    // Exit signal 0: the intermediate sends the caller no SIGCHLD, so the application's handler
    // and a VM's waitpid(-1) never see it. Every signal is blocked (the C library's own ones
    // too, hence the raw call) so that none of the caller's handlers runs in the intermediate.
    std::uint64_t previousMask = 0;
    setSignalMask(kAllSignals, &previousMask);
    pid_t intermediate =
        clone(runIntermediate, stackTop(plan.stacks.get()), CLONE_VM | CLONE_VFORK, &plan);
    int cloneError = errno;
    setSignalMask(previousMask, nullptr);
    if (intermediate < 0) return cloneError;
    reap(intermediate);
    int outcome = plan.outcome.load();
    return outcome == kNoOutcome ? ECHILD : outcome;
}

std::string systemMessage(int error) {
    char buffer[256];
    return strerror_r(error, buffer, sizeof buffer);
}

}  // namespace

void invokeNonBlocking(LaunchMode mode, CommandText text) noexcept {
    int callersErrno = errno;
    echoCommand(text);
    if (int error = startDetached(mode, text); error != 0) {
        try {
            reportLaunchFailure(text, systemMessage(error), error);
        } catch (const std::bad_alloc&) {
            reportLaunchFailure(text, "Cannot allocate memory", error);
        }
    }
    errno = callersErrno;
}
