// Linux: the program is started by a short-lived intermediate process, so that it is never the
// caller's child and leaves no zombie behind; it leads a session of its own. This file is the
// caller's side: the plan and the wait; child_linux.cpp is what runs in the two processes,
// stacks_linux.cpp what they run on, and system_message_linux.cpp how a failure is worded.
//
// Nothing here needs the C++ runtime: memory comes from malloc and mmap, and nothing throws, so
// the library loads into a JVM that has no libstdc++ of its own.
#include <limits.h>
#include <linux/futex.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "child_linux.h"
#include "command_line.h"
#include "failure_line.h"
#include "launcher.h"
#include "raw_syscall.h"
#include "reaper_linux.h"
#include "stacks_linux.h"
#include "step_marks.h"
#include "system_message_linux.h"
#include "utf8.h"

extern "C" char** environ;

namespace {

// The kernel's signal set: signals 1..64, one bit each.
constexpr std::uint64_t kAllSignals = ~std::uint64_t{0};
// The search path execvp uses when PATH is unset.
constexpr std::string_view kDefaultSearchPath = "/bin:/usr/bin";

struct Outcome {
    Ending ending;
    int code;       // errno of the failure; for Interrupted, Caught and Signalled, the signal
    pid_t pid = 0;  // the program's process, once it has exec'd the program
};

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

// The kernel's limit for one argument or environment string, terminator included.
std::size_t longestExecString() {
    return 32 * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

// What the program gets when clearenv() has left environ null: no variables.
char* noVariables[] = {nullptr};

char** environment() {
    return environ != nullptr ? environ : noVariables;
}

// The bytes execve copies of the environment: each string with its terminator and a pointer.
std::size_t environmentBytes() {
    std::size_t total = 0;
    for (char** variable = environment(); *variable != nullptr; ++variable) {
        total += std::strlen(*variable) + 1 + sizeof(char*);
    }
    return total;
}

// Whether execve could ever take an argv of that shape, a file name of that length and an
// environment of that size, counted as the kernel counts them: every string with its
// terminator, the file name's too, and a pointer for each argument and variable but none for
// the null pointers that end the arrays.
bool execCouldTake(const CommandLineShape& argv, std::size_t fileName, std::size_t environment) {
    if (argv.longest + 1 > longestExecString()) return false;
    std::size_t total = fileName + 1 + argv.bytes + argv.elements * sizeof(char*) + environment;
    // The kernel takes at least 32 pages of them whatever the stack limit: only a larger total
    // needs the limit, which costs a system call to read.
    if (total <= longestExecString()) return true;
    long limit = sysconf(_SC_ARG_MAX);
    return limit <= 0 || total <= static_cast<std::size_t>(limit);  // unknown: execve decides
}

// Fills the plan's argv, search path and stacks from the text's UTF-8 form; returns 0 or the
// errno of a text that names no program, that no execve could take, or of missing memory.
int planProgram(LaunchMode mode, std::string_view command, LaunchPlan& plan) {
    // Checked before argv is made, so that a text no system could take costs no memory for its
    // plan. A command line's file name counts once argv is made: its program's name, the
    // shortest path a search could find it at.
    std::size_t variables = environmentBytes();
    CommandLineShape shape{1, command.size() + 1, command.size()};
    if (mode == LaunchMode::ProgramPath) {
        // As execve would answer: the path is checked as a file name before it counts as argv.
        if (command.size() >= PATH_MAX) return ENAMETOOLONG;
        if (!execCouldTake(shape, command.size(), variables)) return E2BIG;
        plan.argv = pathArgv(command);
    } else {
        shape = measureCommandLine(command);
        if (!execCouldTake(shape, 0, variables)) return E2BIG;
        plan.argv = splitCommandLine(command);
    }
    if (plan.argv == nullptr) return ENOMEM;
    if (plan.argv[0] == nullptr || plan.argv[0][0] == '\0') return ENOENT;

    std::string_view program(plan.argv[0]);
    if (mode == LaunchMode::CommandLine && !execCouldTake(shape, program.size(), variables)) {
        return E2BIG;
    }
    if (mode == LaunchMode::CommandLine && program.find('/') == std::string_view::npos) {
        // execvp refuses a name that no directory entry could have before it searches.
        if (program.size() > NAME_MAX) return ENAMETOOLONG;
        // As execvp reads it, and copied at once; a JVM never changes its own environment.
        const char* path = std::getenv("PATH");  // NOLINT(concurrency-mt-unsafe)
        plan.searchPath = copyText(path != nullptr ? path : kDefaultSearchPath);
        if (plan.searchPath == nullptr) return ENOMEM;
        plan.nameLength = program.size();
    }
    plan.envp = environment();
    GuardedStacks stacks{};
    if (!takeStacks(stacks, &plan)) return ENOMEM;
    plan.stacks = stacks.mapping;
    plan.intermediateStackTop = stacks.intermediateTop;
    plan.programStackTop = stacks.programTop;
    return 0;
}

void releasePlan(LaunchPlan* plan) {
    if (plan->stacks != nullptr) giveBackStacks(plan->stacks);
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
    STARTUTIL_STEP(3);
    long intermediate = raw::clone(CLONE_VM | CLONE_VFORK, plan.intermediateStackTop, nullptr,
                                   nullptr, runIntermediate, &plan);
    setSignalMask(previousMask, nullptr);
    if (intermediate < 0) return {Ending::Intermediate, static_cast<int>(-intermediate)};
    STARTUTIL_STEP(9);
    int status = reap(static_cast<pid_t>(intermediate));
    STARTUTIL_STEP(10);
    if (!plan.intermediateDone) {
        // Killed before it could tell: the program's process, if it was created, may still be
        // running on the plan, and it records its own outcome there.
        awaitProgramProcess(plan);
        // Never created: the intermediate either caught a core-dumping signal, said so and
        // exited, or was killed.
        if (plan.programPid == 0 && !(WIFEXITED(status) && plan.ending == Ending::Caught)) {
            return {Ending::Interrupted, WIFSIGNALED(status) ? WTERMSIG(status) : 0};
        }
    }
    if (plan.ending == Ending::Exec) return {Ending::Exec, 0, plan.programPid};
    return {plan.ending, plan.error};
}

// Starts the program named by the text's UTF-8 form; says how far it got.
Outcome startDetached(LaunchMode mode, std::string_view command) {
    auto* plan = static_cast<LaunchPlan*>(std::calloc(1, sizeof(LaunchPlan)));
    if (plan == nullptr) return {Ending::Program, ENOMEM};
    plan->ending = Ending::Exec;
    int planError = planProgram(mode, command, *plan);
    STARTUTIL_STEP(2);
    Outcome outcome = planError == 0 ? runPlan(*plan) : Outcome{Ending::Program, planError};
    pid_t program = plan->programPid;
    releasePlan(plan);
    STARTUTIL_STEP(11);
    // A caller that adopts orphans now has the program's process as its child.
    if (program != 0) reapIfAdopted(program);
    return outcome;
}

}  // namespace

// The echo, the report and the wait are cancellation points: a pending cancellation acting there
// would unwind through a noexcept function and end the whole process.
void holdCallerState(CallerState& state) noexcept {
    state.savedErrno = errno;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &state.savedCancelState);
}

void restoreCallerState(const CallerState& state) noexcept {
    errno = state.savedErrno;
    pthread_setcancelstate(state.savedCancelState, nullptr);
}

long long createDetached(LaunchMode mode, TerminatedUtf16 /*text*/, std::string_view utf8,
                         SystemFailure& failure) noexcept {
    Outcome outcome = startDetached(mode, utf8);
    if (outcome.ending == Ending::Exec) return outcome.pid;
    describeFailure(outcome.ending, outcome.code, failure);
    return 0;
}

unsigned long systemCode(Refusal why) noexcept {
    return why == Refusal::NoMemory ? ENOMEM : EINVAL;
}
