// What the caller and the two processes that run in its memory before exec share: the plan
// (child_linux.cpp says who may touch it, and until when) and the function the intermediate runs.
#pragma once

#include <limits.h>
#include <signal.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "raw_syscall.h"
#include "stacks_linux.h"

// Where a launch ended: the program exec'd, or what stopped it, so that a failure names it.
enum class Ending : int {
    Exec,             // nothing failed: the program was exec'd
    Program,          // the program itself could not be started (or named no program)
    Intermediate,     // no process could be created for the intermediate
    NullDevice,       // /dev/null could not be opened for the child
    StandardStreams,  // /dev/null could not become standard input, output and error
    ProgramProcess,   // no process could be created for the program
    Session,          // the program's process could not start a session of its own
    Interrupted,      // the intermediate was killed before it created the program's process
    Caught,           // the intermediate caught a core-dumping signal before creating it
    Signalled,        // the program's process was ended by a signal before its exec
};

// Everything the processes that run in the caller's memory need, built before they exist.
struct LaunchPlan {
    char** argv;             // one malloc block (see splitCommandLine); argv[0] names the program
    char* searchPath;        // PATH's elements to try argv[0] in, or null to exec argv[0] as it is
    std::size_t nameLength;  // argv[0]'s, measured by the caller: a loop here may become strlen
    char** envp;
    char* stacks;                // the mapping of its GuardedStacks (stacks_linux.h)
    char* intermediateStackTop;  // below the program's stack and its guard page
    char* programStackTop;       // below the plan's address at the top of the block
    // Written by the intermediate or the program's process, read by the caller only once the
    // intermediate has exited (or the program's process, when the intermediate was killed).
    Ending ending;
    int error;              // errno of the failure; for Caught and Signalled, the signal
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

// The intermediate: creates the program's process and returns, to the exit system call, once
// that process has exec'd or exited. Its argument is the plan.
int runIntermediate(void* plan);

inline void setSignalMask(std::uint64_t mask, std::uint64_t* previous) {
    raw::call(SYS_rt_sigprocmask, SIG_SETMASK, &mask, previous, sizeof mask);
}
