// What runs in the intermediate and in the program's process, before the program is exec'd.
//
// The rule for this file: both processes share the caller's memory (CLONE_VM) and its thread's
// TLS (no CLONE_SETTLS), and another of the caller's threads may have been inside malloc, stdio
// or any lock when the launch began. So nothing here allocates, takes a lock, throws or calls
// into the C library, whose wrappers write errno and, in old glibc, the thread's cached ids:
// nothing here writes the calling thread's state. The code reads the plan and makes raw system
// calls (raw_syscall.h), whose failures come back as -errno. The build holds it to that: this
// file's object may have no undefined symbol at all (the test child_linux_is_raw).
//
// Signals: the caller blocks them all before the intermediate exists, so that none of its
// handlers runs here. The intermediate first catches the core-dumping ones with a handler of its
// own and unblocks them (a fault or trap with its signal blocked is forced to the default, a
// dump), then resets every other disposition; the program's process inherits that handler,
// unblocks the rest, and its exec resets the handler to the default.
//
// What the two processes share with the caller, and for how long:
// - The plan, with its argv, search path and envp (environ as the call found it): built by the
//   caller before the intermediate exists and read-only here, but for ending, error,
//   intermediateDone and candidate, which the caller reads only once it has let go.
// - The stacks: a mapping of the caller's, in the plan; it goes back to the caller's cache, and
//   the plan is freed, only once the caller has let go.
// - The calling thread's TLS: that thread waits in the kernel, in clone or on the futex below,
//   for as long as either process may run, and nothing here writes it.
// - environ's array and strings, read through the plan's envp until exec: only a setenv in
//   another thread could change them meanwhile, which a JVM never makes.
// - The library's code: it cannot be unloaded while the call that runs it lasts.
// The caller lets go when neither process can run on the plan any more. CLONE_VFORK holds the
// caller until the intermediate exits, and the intermediate until the program's process has
// exec'd or exited, so normally the intermediate's exit is that point. If the intermediate is
// killed early, the caller waits on plan->programRunning instead, which the kernel clears and
// wakes at the program's exec or exit (CLONE_CHILD_CLEARTID).
#include "child_linux.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdint>

#include "step_marks.h"

namespace {

// The kernel's signal set: signals 1..64.
constexpr int kHighestSignal = 64;
// The signals whose default action dumps core. A dump of a process that shares the caller's
// memory copies all of it, and before Linux 5.16 the dump also kills every process sharing it.
constexpr int kCoreDumpingSignals[] = {SIGQUIT, SIGILL,  SIGTRAP, SIGABRT, SIGBUS,
                                       SIGFPE,  SIGSEGV, SIGXCPU, SIGXFSZ, SIGSYS};

void fail(LaunchPlan* plan, Ending ending, int error) {
    plan->error = error;
    plan->ending = ending;
}

// Either process ends here when a core-dumping signal reaches it before the program's exec. It
// runs on the stack it interrupted (no SA_ONSTACK: these processes inherit the calling thread's
// alternate stack), so its frame lies in the stack block, whose top holds the plan, and below
// the intermediate's stack top only in the intermediate.
void endBeforeExec(int signal) {
    auto* frame = static_cast<char*>(__builtin_frame_address(0));
    auto* plan = static_cast<LaunchPlan*>(ownerOfFrame(frame));
    if (frame >= plan->intermediateStackTop) {
        fail(plan, Ending::Signalled, signal);
    } else if (plan->programPid == 0) {
        fail(plan, Ending::Caught, signal);
    }
    // Else the intermediate is past its CLONE_VFORK wait: the program's process has exec'd or
    // ended, and its outcome stands.
    raw::call(SYS_exit, 127);
    __builtin_unreachable();
}

// The handler for the core-dumping signals, which are then unblocked; every other signal back
// to its default: handlers would run the caller's code in the wrong process, and exec keeps
// ignored signals ignored (a VM started under nohup ignores SIGHUP). The handler comes first,
// so that a fault or trap in any later step ends this process alone.
void resetSignalDispositions() {
    raw::SignalAction handler = raw::handlerAction(endBeforeExec);
    std::uint64_t caught = 0;
    for (int signal : kCoreDumpingSignals) {
        raw::setSignalAction(signal, handler);
        caught |= std::uint64_t{1} << (signal - 1);
    }
    setSignalMask(~caught, nullptr);
    raw::SignalAction defaultAction{};  // SIG_DFL, no flags, empty mask
    for (int signal = 1; signal <= kHighestSignal; ++signal) {
        if (signal == SIGKILL || signal == SIGSTOP || ((caught >> (signal - 1)) & 1) != 0) continue;
        raw::setSignalAction(signal, defaultAction);
    }
}

// The kernel's prlimit64 limits, the one limit call every architecture has.
struct KernelLimit {
    std::uint64_t current;
    std::uint64_t maximum;
};

// How far a sweep for open descriptors has to look, and how many one ppoll may ask about (no more
// than the soft limit, or the call fails with EINVAL).
struct DescriptorRange {
    int ceiling;
    int batch;
};

// The kernel's default fs.nr_open, the highest descriptor limit most systems allow.
constexpr std::uint64_t kCommonDescriptorCeiling = std::uint64_t{1} << 20;

// Up to the larger of the soft and hard limits, and at least to 1,048,576: a descriptor opened
// before a limit was lowered stays open above it, and a hard limit, once lowered, cannot be
// raised to say where the old one was. The kernel refuses either limit above fs.nr_open, itself
// at most INT_MAX, so the cap only keeps the count an int. A sweep costs one ppoll per batch of
// it (4,096 calls, some 30 ms, at 1,048,576), and only where close_range and /proc are missing.
DescriptorRange descriptorRange(int batchCapacity) {
    KernelLimit limit{static_cast<std::uint64_t>(batchCapacity), kCommonDescriptorCeiling};
    // Unreadable limits: the kernel's own defaults for them.
    raw::call(SYS_prlimit64, 0, RLIMIT_NOFILE, nullptr, &limit);
    std::uint64_t larger = limit.current > limit.maximum ? limit.current : limit.maximum;
    if (larger < kCommonDescriptorCeiling) larger = kCommonDescriptorCeiling;
    auto cap = [](std::uint64_t value, std::uint64_t bound) {
        return static_cast<int>(value < bound ? value : bound);
    };
    int batch = cap(limit.current, static_cast<std::uint64_t>(batchCapacity));
    return {cap(larger, INT_MAX), batch > 0 ? batch : 1};
}

// Without /proc: asks ppoll about a batch of descriptors at a time, with no events and no wait,
// and closes those that do not come back POLLNVAL (not open), so that the cost follows the open
// descriptors rather than the limit. Should ppoll fail, that batch is closed one by one. An
// O_PATH descriptor also comes back POLLNVAL: the one kind only the listing can find.
void closeDescriptorsByPolling() {
    constexpr int kBatchCapacity = 256;  // 2 KiB of the 32 KiB stack
    pollfd batch[kBatchCapacity];
    DescriptorRange range = descriptorRange(kBatchCapacity);
    const timespec immediately{0, 0};
    for (int first = 3; first < range.ceiling;) {
        int count = range.ceiling - first < range.batch ? range.ceiling - first : range.batch;
        for (int i = 0; i < count; ++i) batch[i] = {first + i, 0, 0};
        long polled =
            raw::call(SYS_ppoll, batch, static_cast<unsigned>(count), &immediately, nullptr, 0);
        for (int i = 0; i < count; ++i) {
            if (polled < 0 || (batch[i].revents & POLLNVAL) == 0) raw::call(SYS_close, first + i);
        }
        first += count;
    }
}

// /proc/self/fd opened for listing. A caller at its descriptor limit leaves no descriptor free
// for it: the child keeps none above 2, so 3 is closed to make room.
int openDescriptorListing() {
    auto openListing = [] {
        return static_cast<int>(
            raw::call(SYS_openat, AT_FDCWD, "/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    };
    int directory = openListing();
    if (directory == -EMFILE || directory == -ENFILE) {
        raw::call(SYS_close, 3);
        directory = openListing();
    }
    return directory;
}

// Closes every descriptor from 3 up when close_range is missing (kernels before 5.9): lists
// /proc/self/fd, which names this process's table, and closes what it finds until a pass finds
// nothing; polls for them up to the descriptor limits when /proc is not there.
void closeDescriptorsByListing() {
    int directory = openDescriptorListing();
    if (directory < 0) {
        closeDescriptorsByPolling();
        return;
    }
    alignas(8) char buffer[4096];
    for (bool closedAny = true; closedAny;) {
        closedAny = false;
        raw::call(SYS_lseek, directory, 0, SEEK_SET);
        long length;
        while ((length = raw::call(SYS_getdents64, directory, buffer, sizeof buffer)) > 0) {
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
                raw::call(SYS_close, fd);
                closedAny = true;
            }
        }
    }
    raw::call(SYS_close, directory);
}

// Standard input, output and error become /dev/null and nothing else stays open. The table is
// the intermediate's own copy (no CLONE_FILES), so the caller's descriptors are untouched, and
// descriptors another thread opens meanwhile are in the copy or not at all.
bool isolateDescriptors(LaunchPlan* plan) {
    if (raw::call(SYS_close_range, 3U, ~0U, 0U) != 0) closeDescriptorsByListing();
    // Opened after the sweep, so a caller at its descriptor limit still has room for it.
    int null = static_cast<int>(raw::call(SYS_openat, AT_FDCWD, "/dev/null", O_RDWR));
    if (null < 0) {
        fail(plan, Ending::NullDevice, -null);
        return false;
    }
    for (int fd = 0; fd <= 2; ++fd) {
        long duplicated = fd != null ? raw::call(SYS_dup3, null, fd, 0) : fd;
        if (duplicated < 0) {
            fail(plan, Ending::StandardStreams, static_cast<int>(-duplicated));
            return false;
        }
    }
    if (null > 2) raw::call(SYS_close, null);
    return true;
}

// execvp's rules, without its shell: a missing or unusable candidate moves on to the next, a
// permission failure is remembered and reported if nothing else is found, and anything else
// (ENOEXEC, E2BIG, ...) ends the search.
bool searchGoesOn(int error) {
    return error == ENOENT || error == EACCES || error == ENOTDIR || error == ESTALE ||
           error == ENODEV || error == ETIMEDOUT;
}

// Copies by hand: the C library's memcpy may be an interposed, instrumented one.
char* append(char* out, const char* text, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i) *out++ = text[i];
    return out;
}

// Execs the program, searching the plan's path as execvp does; returns the errno of the failure.
int execProgram(LaunchPlan* plan) {
    const char* name = plan->argv[0];
    if (plan->searchPath == nullptr) {
        return static_cast<int>(-raw::call(SYS_execve, name, plan->argv, plan->envp));
    }
    std::size_t nameLength = plan->nameLength;
    int error = ENOENT;
    bool denied = false;
    for (const char* element = plan->searchPath;; ++element) {
        const char* end = element;
        while (*end != ':' && *end != '\0') ++end;
        auto elementLength = static_cast<std::size_t>(end - element);
        // An element too long to name a directory is skipped, as execvp skips it, rather than
        // ending the search with ENAMETOOLONG. An empty element is the working directory.
        if (elementLength < PATH_MAX) {
            char* out = append(plan->candidate, element, elementLength);
            if (elementLength != 0) *out++ = '/';
            *append(out, name, nameLength) = '\0';
            error =
                static_cast<int>(-raw::call(SYS_execve, plan->candidate, plan->argv, plan->envp));
            denied = denied || error == EACCES;
            if (!searchGoesOn(error)) return error;
        }
        if (*end == '\0') break;
        element = end;
    }
    return denied ? EACCES : error;
}

// The program's process; returns, to the exit system call, only when the program did not start.
int runProgram(void* argument) {
    STARTUTIL_STEP(7);
    auto* plan = static_cast<LaunchPlan*>(argument);
    if (long session = raw::call(SYS_setsid); session < 0) {
        fail(plan, Ending::Session, static_cast<int>(-session));
        return 127;
    }
    // The intermediate's handler still catches the core-dumping signals.
    setSignalMask(0, nullptr);
    STARTUTIL_STEP(8);
    fail(plan, Ending::Program, execProgram(plan));
    return 127;
}

}  // namespace

int runIntermediate(void* argument) {
    auto* plan = static_cast<LaunchPlan*>(argument);
    STARTUTIL_STEP(4);
    resetSignalDispositions();
    STARTUTIL_STEP(5);
    if (isolateDescriptors(plan)) {
        STARTUTIL_STEP(6);
        // SIGCHLD as the program's exit signal: whoever adopts it once we are gone reaps it.
        long program = raw::clone(
            CLONE_VM | CLONE_VFORK | CLONE_PARENT_SETTID | CLONE_CHILD_CLEARTID | SIGCHLD,
            plan->programStackTop, &plan->programPid, &plan->programRunning, runProgram, plan);
        if (program < 0) {
            fail(plan, Ending::ProgramProcess, static_cast<int>(-program));
        } else if (plan->ending != Ending::Exec) {
            // Failed before exec: our zombie to reap, not init's.
            raw::call(SYS_wait4, program, nullptr, __WALL, nullptr);
        }
    }
    // The program's process has exec'd or exited (CLONE_VFORK), so from here on nothing but
    // this process touches the plan, and it only to exit.
    plan->intermediateDone = true;
    return 0;
}
