// POSIX: the program is started by a short-lived intermediate process, so that it is never the
// caller's child and leaves no zombie behind; it leads a session of its own.
//
// Nothing here needs the C++ runtime: memory comes from malloc and mmap, and nothing throws, so
// the library loads into a JVM that has no libstdc++ of its own.
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/futex.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "command_line.h"
#include "launcher.h"
#include "raw_syscall.h"
#include "report.h"

extern "C" char** environ;
// The POSIX strerror_r under the name glibc and musl both export it by.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
extern "C" int __xpg_strerror_r(int code, char* buffer, std::size_t size) noexcept;

namespace {

// Each of the two processes that share the caller's memory runs on a stack of its own, with an
// inaccessible page below it, so that an overflow faults instead of writing into the JVM's heap.
constexpr std::size_t kStackSize = std::size_t{32} * 1024;
// The kernel's signal set: signals 1..64, one bit each.
constexpr std::uint64_t kAllSignals = ~std::uint64_t{0};
constexpr int kHighestSignal = 64;
// The search path execvp uses when PATH is unset.
constexpr std::string_view kDefaultSearchPath = "/bin:/usr/bin";

// How far a launch got, so that a failure names the step that failed.
enum class Step : int {
    Started,          // the program was exec'd
    Program,          // the program itself could not be started (or named no program)
    Intermediate,     // no process could be created for the intermediate
    NullDevice,       // /dev/null could not be opened for the child
    StandardStreams,  // /dev/null could not become standard input, output and error
    ProgramProcess,   // no process could be created for the program
    Session,          // the program's process could not start a session of its own
    Interrupted,      // the intermediate was killed before it created the program's process
};

struct Outcome {
    Step step;
    int code;  // errno of the failure; for Interrupted, the signal that ended the intermediate
};

// Everything the processes that share the caller's memory need, built before they exist, in
// memory that stays valid for as long as either of them may run: the caller frees it only once
// both have exec'd or exited.
struct LaunchPlan {
    char** argv;             // one malloc block (see splitCommandLine); argv[0] names the program
    char* searchPath;        // PATH's elements to try argv[0] in, or null to exec argv[0] as it is
    std::size_t nameLength;  // argv[0]'s, measured by the caller: a loop here may become strlen
    char** envp;
    char* stacks;  // one mapping: guard, intermediate's stack, guard, program's stack
    std::size_t stackSize;
    std::size_t mappingSize;
    // Written by the intermediate or the program's process, read by the caller only once the
    // intermediate has exited: CLONE_VFORK holds the caller until then, which orders them.
    Step failedStep;
    int error;
    bool intermediateDone;  // set as the intermediate's last act, after the program's exec
    // The kernel's own account of the program's process, which holds when the intermediate is
    // killed: its pid, written into the plan before that process first runs
    // (CLONE_PARENT_SETTID), so 0 once the intermediate is gone means it was never created; and
    // a word the caller sets to 1, which the kernel clears and wakes as a futex when that
    // process execs or exits (CLONE_CHILD_CLEARTID).
    pid_t programPid;
    int programRunning;
    char candidate[PATH_MAX + NAME_MAX + 2];  // the program's path being tried
};

// ---------------------------------------------------------------------------------------------
// What runs in the intermediate and in the program's process before exec.
//
// Both share the caller's memory and its thread's TLS (no CLONE_SETTLS), and one of the caller's
// threads may have been inside malloc, stdio or any lock when it called us. So this code may not
// allocate, take a lock, throw, or call into the C library at all, whose wrappers write errno
// and, in old glibc, the thread's cached ids: it reads the plan the caller built and makes raw
// system calls (raw_syscall.h), whose failures come back as -errno. Signals stay blocked until
// just before exec, and every disposition is reset first, so that no handler of the caller ever
// runs on these stacks.
// ---------------------------------------------------------------------------------------------

// The kernel's sigaction; the C library's refuses the signals it keeps for itself (32, 33).
struct KernelSigaction {
    void* handler;
    unsigned long flags;
    void* restorer;
    std::uint64_t mask;
};

void setSignalMask(std::uint64_t mask, std::uint64_t* previous) {
    raw::call(SYS_rt_sigprocmask, SIG_SETMASK, &mask, previous, sizeof mask);
}

// Every signal back to its default: handlers would run the caller's code in the wrong process,
// and exec keeps ignored signals ignored (a VM started under nohup ignores SIGHUP).
void resetSignalDispositions() {
    KernelSigaction defaultAction{};  // SIG_DFL, no flags, empty mask
    for (int signal = 1; signal <= kHighestSignal; ++signal) {
        if (signal == SIGKILL || signal == SIGSTOP) continue;
        raw::call(SYS_rt_sigaction, signal, &defaultAction, nullptr, sizeof(std::uint64_t));
    }
}

void fail(LaunchPlan* plan, Step step, int error) {
    plan->error = error;
    plan->failedStep = step;
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

// Up to the larger of the soft and hard limits: a descriptor opened before the soft limit was
// lowered stays open above it. The kernel refuses either limit above fs.nr_open, itself at most
// INT_MAX, so the cap only keeps the count an int: the limit in force is the real bound, and a
// sweep costs one ppoll per batch of it (4,096 calls, some 30 ms, at the common 1,048,576).
DescriptorRange descriptorRange(int batchCapacity) {
    KernelLimit limit{0, 0};
    if (raw::call(SYS_prlimit64, 0, RLIMIT_NOFILE, nullptr, &limit) != 0) {
        // Unreadable limits: the kernel's own default ceiling for them.
        limit = {static_cast<std::uint64_t>(batchCapacity), std::uint64_t{1} << 20};
    }
    std::uint64_t larger = limit.current > limit.maximum ? limit.current : limit.maximum;
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
        fail(plan, Step::NullDevice, -null);
        return false;
    }
    for (int fd = 0; fd <= 2; ++fd) {
        long duplicated = fd != null ? raw::call(SYS_dup3, null, fd, 0) : fd;
        if (duplicated < 0) {
            fail(plan, Step::StandardStreams, static_cast<int>(-duplicated));
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
    auto* plan = static_cast<LaunchPlan*>(argument);
    if (long session = raw::call(SYS_setsid); session < 0) {
        fail(plan, Step::Session, static_cast<int>(-session));
        return 127;
    }
    setSignalMask(0, nullptr);
    fail(plan, Step::Program, execProgram(plan));
    return 127;
}

char* intermediateStackTop(const LaunchPlan* plan) {
    return plan->stacks + plan->mappingSize / 2;
}

char* programStackTop(const LaunchPlan* plan) {
    return plan->stacks + plan->mappingSize;
}

// The intermediate; its return value goes to the exit system call.
int runIntermediate(void* argument) {
    auto* plan = static_cast<LaunchPlan*>(argument);
    resetSignalDispositions();
    if (isolateDescriptors(plan)) {
        // SIGCHLD as the program's exit signal: whoever adopts it once we are gone reaps it.
        long program = raw::clone(
            CLONE_VM | CLONE_VFORK | CLONE_PARENT_SETTID | CLONE_CHILD_CLEARTID | SIGCHLD,
            programStackTop(plan), &plan->programPid, &plan->programRunning, runProgram, plan);
        if (program < 0) {
            fail(plan, Step::ProgramProcess, static_cast<int>(-program));
        } else if (plan->failedStep != Step::Started) {
            // Failed before exec: our zombie to reap, not init's.
            raw::call(SYS_wait4, program, nullptr, __WALL, nullptr);
        }
    }
    // The program's process has exec'd or exited (CLONE_VFORK), so from here on nothing but
    // this process touches the plan, and it only to exit.
    plan->intermediateDone = true;
    return 0;
}

// ---------------------------------------------------------------------------------------------
// The caller's side: builds the plan, starts the intermediate and reaps exactly that process.
// ---------------------------------------------------------------------------------------------

char* copyText(std::string_view text) {
    auto* copy = static_cast<char*>(std::malloc(text.size() + 1));
    if (copy == nullptr) return nullptr;
    std::memcpy(copy, text.data(), text.size());
    copy[text.size()] = '\0';
    return copy;
}

// argv for a program path: the path alone, laid out as splitCommandLine lays out its result.
char** pathArgv(std::string_view path) {
    auto** argv = static_cast<char**>(std::malloc(2 * sizeof(char*) + path.size() + 1));
    if (argv == nullptr) return nullptr;
    auto* text = reinterpret_cast<char*>(argv + 2);
    std::memcpy(text, path.data(), path.size());
    text[path.size()] = '\0';
    argv[0] = text;
    argv[1] = nullptr;
    return argv;
}

// Guarded stack mappings kept for later launches. Mapping, protecting and unmapping them cost
// a launch more than the rest of the caller's own work (fresh page faults, and a TLB shootdown
// on every munmap), so a few are kept in slots that every thread shares, taken and given back
// with atomic exchanges: no lock, and a launch that finds every slot empty maps one of its own.
// A mapping goes back only once no process of its launch can run on it (runPlan waits for
// both), and one that finds every slot full is unmapped. The mappings stay for the life of the
// process: a few pages each, touched already, so a launch takes no page fault on them.
constexpr std::size_t kCachedMappings = 4;
std::atomic<char*> cachedStacks[kCachedMappings];

char* takeCachedStacks() {
    for (std::atomic<char*>& slot : cachedStacks) {
        if (slot.load(std::memory_order_relaxed) == nullptr) continue;
        if (char* mapping = slot.exchange(nullptr, std::memory_order_acquire)) return mapping;
    }
    return nullptr;
}

void giveBackStacks(char* mapping, std::size_t size) {
    for (std::atomic<char*>& slot : cachedStacks) {
        char* empty = nullptr;
        if (slot.compare_exchange_strong(empty, mapping, std::memory_order_release,
                                         std::memory_order_relaxed)) {
            return;
        }
    }
    munmap(mapping, size);
}

// Two stacks in one mapping, each above a page that no access may touch.
bool mapStacks(LaunchPlan& plan) {
    auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    plan.stackSize = (kStackSize + page - 1) / page * page;
    plan.mappingSize = 2 * (page + plan.stackSize);
    plan.stacks = takeCachedStacks();
    if (plan.stacks != nullptr) return true;
    void* mapping =
        mmap(nullptr, plan.mappingSize, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (mapping == MAP_FAILED) return false;
    plan.stacks = static_cast<char*>(mapping);
    char* intermediateStack = plan.stacks + page;
    char* programStack = intermediateStackTop(&plan) + page;
    if (mprotect(intermediateStack, plan.stackSize, PROT_READ | PROT_WRITE) != 0 ||
        mprotect(programStack, plan.stackSize, PROT_READ | PROT_WRITE) != 0) {
        munmap(plan.stacks, plan.mappingSize);
        plan.stacks = nullptr;
        return false;
    }
    return true;
}

// The kernel's limit for one argument or environment string, terminator included.
std::size_t longestExecString() {
    return 32 * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

// Whether execve could ever take an argv of that shape beside the current environment. Checked
// before argv is made, so that a text no system could take costs no memory for its plan.
bool execCouldTake(const CommandLineShape& argv) {
    if (argv.longest + 1 > longestExecString()) return false;
    std::size_t total = argv.bytes + (argv.elements + 1) * sizeof(char*);
    for (char** variable = environ; *variable != nullptr; ++variable) {
        total += std::strlen(*variable) + 1 + sizeof(char*);
    }
    // The kernel takes at least 32 pages of them whatever the stack limit: only a larger total
    // needs the limit, which costs a system call to read.
    if (total <= longestExecString()) return true;
    long limit = sysconf(_SC_ARG_MAX);
    return limit <= 0 || total <= static_cast<std::size_t>(limit);  // unknown: execve decides
}

// Fills the plan's argv, search path and stacks from the text's UTF-8 form; returns 0 or the
// errno of a text that names no program, that no execve could take, or of missing memory.
int planProgram(LaunchMode mode, std::string_view command, LaunchPlan& plan) {
    if (mode == LaunchMode::ProgramPath) {
        // As execve would answer: the path is checked as a file name before it counts as argv.
        if (command.size() >= PATH_MAX) return ENAMETOOLONG;
        if (!execCouldTake({1, command.size() + 1, command.size()})) return E2BIG;
        plan.argv = pathArgv(command);
    } else {
        if (!execCouldTake(measureCommandLine(command))) return E2BIG;
        plan.argv = splitCommandLine(command);
    }
    if (plan.argv == nullptr) return ENOMEM;
    if (plan.argv[0] == nullptr || plan.argv[0][0] == '\0') return ENOENT;

    std::string_view program(plan.argv[0]);
    if (mode == LaunchMode::CommandLine && program.find('/') == std::string_view::npos) {
        // execvp refuses a name that no directory entry could have before it searches.
        if (program.size() > NAME_MAX) return ENAMETOOLONG;
        // As execvp reads it, and copied at once; a JVM never changes its own environment.
        const char* path = std::getenv("PATH");  // NOLINT(concurrency-mt-unsafe)
        plan.searchPath = copyText(path != nullptr ? path : kDefaultSearchPath);
        if (plan.searchPath == nullptr) return ENOMEM;
        plan.nameLength = program.size();
    }
    plan.envp = environ;
    return mapStacks(plan) ? 0 : ENOMEM;
}

void releasePlan(LaunchPlan* plan) {
    if (plan->stacks != nullptr) giveBackStacks(plan->stacks, plan->mappingSize);
    std::free(plan->searchPath);
    std::free(plan->argv);
    std::free(plan);
}

// Reaps the intermediate and only it: __WALL because it signals nobody when it exits. ECHILD
// means the application reaped it already, which is no failure. The raw call, so that nothing
// of the C library's cancellation or wrappers runs here.
int reap(pid_t intermediate) {
    int status = 0;
    while (raw::call(SYS_wait4, intermediate, &status, __WALL, nullptr) == -EINTR) {
    }
    return status;
}

// Waits until the program's process of a launch whose intermediate was killed has exec'd or
// exited, so that nothing the call started still runs in the caller's memory when it returns.
// The kernel clears the word and wakes it then. The wait lasts what the intermediate's own
// CLONE_VFORK wait would have lasted; each sleep is bounded, and a process that is gone with the
// word still set (a kernel may keep it for one that dumped core) ends the wait too.
void awaitProgramProcess(LaunchPlan& plan) {
    // Never created: the intermediate is gone, so it never will be.
    if (plan.programPid == 0) return;
    constexpr timespec kRecheck = {0, 100'000'000};
    for (;;) {
        int running = __atomic_load_n(&plan.programRunning, __ATOMIC_ACQUIRE);
        if (running == 0) return;
        // Not FUTEX_PRIVATE_FLAG: the kernel's wake at exec or exit is a shared one.
        long waited = raw::call(SYS_futex, &plan.programRunning, FUTEX_WAIT, running, &kRecheck);
        if (waited == -ETIMEDOUT && raw::call(SYS_kill, plan.programPid, 0) == -ESRCH) return;
    }
}

// Starts the intermediate, which starts the program, and waits for the intermediate only, and
// for the program's process too when the intermediate did not see it to its exec.
Outcome runPlan(LaunchPlan& plan) {
    // Exit signal 0: the intermediate sends the caller no SIGCHLD, so the application's handler
    // and a VM's waitpid(-1) never see it. Every signal is blocked (the C library's own ones
    // too, hence the raw call) so that none of the caller's handlers runs in the intermediate.
    std::uint64_t previousMask = 0;
    setSignalMask(kAllSignals, &previousMask);
    plan.programRunning = 1;
    long intermediate = raw::clone(CLONE_VM | CLONE_VFORK, intermediateStackTop(&plan), nullptr,
                                   nullptr, runIntermediate, &plan);
    setSignalMask(previousMask, nullptr);
    if (intermediate < 0) return {Step::Intermediate, static_cast<int>(-intermediate)};
    int status = reap(static_cast<pid_t>(intermediate));
    if (!plan.intermediateDone) {
        // Killed before it could tell: the program's process, if it was created, may still be
        // running on the plan, and it records its own outcome there.
        awaitProgramProcess(plan);
        if (plan.programPid == 0) {
            return {Step::Interrupted, WIFSIGNALED(status) ? WTERMSIG(status) : 0};
        }
    }
    return {plan.failedStep, plan.error};
}

// Starts the program named by the text's UTF-8 form; says how far it got.
Outcome startDetached(LaunchMode mode, std::string_view command) {
    auto* plan = static_cast<LaunchPlan*>(std::calloc(1, sizeof(LaunchPlan)));
    if (plan == nullptr) return {Step::Program, ENOMEM};
    plan->failedStep = Step::Started;
    Outcome outcome{Step::Program, planProgram(mode, command, *plan)};
    if (outcome.code == 0) outcome = runPlan(*plan);
    releasePlan(plan);
    return outcome;
}

// The C library's text for an errno value. Its GNU strerror_r returns the text; musl's (the
// POSIX one) returns a status, so the POSIX form that both export is named explicitly.
std::string_view errorText(int code, char* buffer, std::size_t size) {
    if (__xpg_strerror_r(code, buffer, size) != 0) {
        char* end = appendDecimal(append(buffer, "Unknown error ", 14),
                                  static_cast<unsigned long long>(code));
        *end = '\0';
    }
    return buffer;
}

const char* stepFailure(Step step) {
    switch (step) {
        case Step::Intermediate:
        case Step::ProgramProcess:
            return "cannot create a process";
        case Step::NullDevice:
            return "cannot open /dev/null for the child";
        case Step::StandardStreams:
            return "cannot make /dev/null the child's standard streams";
        case Step::Session:
            return "cannot start a new session for the child";
        default:
            return nullptr;
    }
}

// Writes what a launch that did not start its program must tell: which step failed and why.
void report(const char16_t* text, Outcome outcome) {
    char message[512];
    char* end = message;
    if (outcome.step == Step::Interrupted) {
        // Nothing was started, as if the intermediate's creation had been interrupted.
        constexpr std::string_view kKilled = "the process starting it was killed by signal ";
        constexpr std::string_view kVanished = "the process starting it ended early";
        if (outcome.code != 0) {
            end = append(end, kKilled.data(), kKilled.size());
            end = appendDecimal(end, static_cast<unsigned long long>(outcome.code));
        } else {
            end = append(end, kVanished.data(), kVanished.size());
        }
        outcome.code = EINTR;
    } else if (const char* step = stepFailure(outcome.step)) {
        std::string_view stepText(step);
        end = append(end, stepText.data(), stepText.size());
    }
    char reason[256];
    std::string_view why = errorText(outcome.code, reason, sizeof reason);
    if (end != message) {
        end = append(end, ": ", 2);
        end = append(end, why.data(), why.size() < 200 ? why.size() : 200);
        why = {message, static_cast<std::size_t>(end - message)};
    }
    reportLaunchFailure(text, why, static_cast<unsigned long>(outcome.code));
}

}  // namespace

namespace {

// What a call must leave as it found it. The echo, the report and the wait are cancellation
// points: a pending cancellation acting there would unwind through a noexcept function and end
// the whole process, so it is held off for the call, as the C library's own process creation
// holds it off. errno is the caller's too.
class CallerState {
  public:
    CallerState() : errno_(errno) { pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &cancelState_); }
    ~CallerState() {
        errno = errno_;
        pthread_setcancelstate(cancelState_, nullptr);
    }
    CallerState(const CallerState&) = delete;
    CallerState& operator=(const CallerState&) = delete;

  private:
    int errno_;
    int cancelState_ = PTHREAD_CANCEL_ENABLE;
};

}  // namespace

void invokeNonBlocking(LaunchMode mode, CommandText text) noexcept {
    CallerState callerState;
    if (text == nullptr) return report(nullptr, {Step::Program, EINVAL});
    // The one UTF-8 form of the text: the echo writes it and the plan is made from it.
    Utf8Text command = toUtf8Text(text);
    if (command.bytes == nullptr) return report(text, {Step::Program, ENOMEM});
    echoUtf8(command.view());
    if (Outcome outcome = startDetached(mode, command.view()); outcome.step != Step::Started) {
        report(text, outcome);
    }
}

void refuseCommand(const char16_t* text, std::size_t length, Refusal why) noexcept {
    CallerState callerState;
    if (why == Refusal::NoMemory) {
        char reason[256];
        reportUncopiedCommand(length, errorText(ENOMEM, reason, sizeof reason), ENOMEM);
        return;
    }
    if (Utf8Text shown = toUtf8Text(text); shown.bytes != nullptr) echoUtf8(shown.view());
    reportLaunchFailure(std::u16string_view(text, length), "the text holds a NUL character",
                        EINVAL);
}
