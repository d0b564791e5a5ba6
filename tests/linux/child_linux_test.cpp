// What runs in the intermediate and the program's process when something interferes: the
// descriptor sweep without close_range or /proc, a step the system refuses, a signal before exec.
// Each runs in a caller forked off the test, since its filters and limits are for good.
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "launch_harness.h"

namespace {

// The flags the child lists /proc/self/fd with, and nothing else opens anything with: refusing
// them puts /proc out of the launch's reach, as in a container that has none.
constexpr std::uint32_t kListingFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
const std::vector<std::string> kNullStandardStreams = {"0=/dev/null", "1=/dev/null", "2=/dev/null"};

// Raises the hard descriptor limit to the kernel's usual ceiling where that is allowed, and opens
// a descriptor just below whichever hard limit is then in force; returns it, or -1.
int openBelowTheHardLimit() {
    rlimit limit{rlim_t{1} << 20, rlim_t{1} << 20};
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) {
        getrlimit(RLIMIT_NOFILE, &limit);
        limit.rlim_cur = limit.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0) return -1;
    }
    return dup2(1, static_cast<int>(limit.rlim_max - 1));
}

bool lowerSoftLimit(rlim_t soft) {
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = soft;
    return setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

// The forked caller wrote no failure, and its one probe holds descriptors 0 to 2 on /dev/null only.
void expectOneProbeWithNullStreamsOnly(const ScratchDirectory& scratch) {
    EXPECT_EQ(readFile(scratch.path() / "stderr"), "");
    std::vector<ProbeReport> reports = awaitReports(scratch.path(), 1);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reportedDescriptors(reports[0]), kNullStandardStreams);
}

// As on a kernel before 5.9 with no /proc: the child must find the open descriptors up to the
// hard limit, where one opened before the soft limit was lowered may sit, and close only those:
// a close per possible descriptor costs seconds at the limits JVMs raise theirs to. A close of a
// descriptor that was never open kills the intermediate.
TEST(ChildProcesses, WithoutCloseRangeOrProcOnlyTheOpenDescriptorsUpToTheHardLimitAreClosed) {
    for (bool lowered : {true, false}) {
        SCOPED_TRACE(lowered ? "soft limit lowered to 1,024" : "soft limit at the hard limit");
        ScratchDirectory scratch;
        ScopedEnvironment reportDirectory("STARTUTIL_PROBE_DIR", scratch.path());
        int exitCode = inForkedCaller(scratch, [lowered] {
            int top = openBelowTheHardLimit();
            if (top < 0 || (lowered && !lowerSoftLimit(1024))) return 2;
            auto neverOpen = static_cast<std::uint32_t>(top - 1);
            bool filtered =
                filterSystemCall(SYS_close_range, SECCOMP_RET_ERRNO | ENOSYS) == 0 &&
                filterSystemCall(SYS_openat, SECCOMP_RET_ERRNO | ENOENT, kListingFlags) == 0 &&
                filterSystemCall(SYS_close, SECCOMP_RET_KILL_PROCESS, neverOpen, 0) == 0;
            if (!filtered) return 3;
            launch(LaunchMode::ProgramPath, widen(probePath()));
            return 0;
        });
        ASSERT_EQ(exitCode, 0);
        expectOneProbeWithNullStreamsOnly(scratch);
    }
}

// Limits lowered for good below a descriptor opened before: the sweep still reaches it, since it
// goes on to the kernel's usual ceiling (a hard limit, once lowered, cannot say where it was).
TEST(ChildProcesses, WithoutCloseRangeOrProcADescriptorAboveLoweredLimitsIsClosed) {
    ScratchDirectory scratch;
    ScopedEnvironment reportDirectory("STARTUTIL_PROBE_DIR", scratch.path());
    int exitCode = inForkedCaller(scratch, [] {
        rlimit lowered{1024, 4096};
        if (openBelowTheHardLimit() < 4096 || setrlimit(RLIMIT_NOFILE, &lowered) != 0) return 2;
        bool filtered =
            filterSystemCall(SYS_close_range, SECCOMP_RET_ERRNO | ENOSYS) == 0 &&
            filterSystemCall(SYS_openat, SECCOMP_RET_ERRNO | ENOENT, kListingFlags) == 0;
        if (!filtered) return 3;
        launch(LaunchMode::ProgramPath, widen(probePath()));
        return 0;
    });
    ASSERT_EQ(exitCode, 0);
    expectOneProbeWithNullStreamsOnly(scratch);
}

// A caller at its descriptor limit leaves none free to list /proc/self/fd with; the listing
// still runs, after closing descriptor 3, and finds the descriptor above the lowered soft limit
// without a sweep (ppoll kills the intermediate here).
TEST(ChildProcesses, ACallerWithNoDescriptorFreeStillHasItsDescriptorsListed) {
    ScratchDirectory scratch;
    ScopedEnvironment reportDirectory("STARTUTIL_PROBE_DIR", scratch.path());
    int exitCode = inForkedCaller(scratch, [] {
        constexpr rlim_t kSoftLimit = 64;
        if (openBelowTheHardLimit() < 0 || !lowerSoftLimit(kSoftLimit)) return 2;
        int fd = 0;
        for (rlim_t i = 0; i < kSoftLimit && fd >= 0; ++i) fd = dup(1);
        if (fd >= 0 || errno != EMFILE) return 4;
        if (filterSystemCall(SYS_close_range, SECCOMP_RET_ERRNO | ENOSYS) != 0 ||
            filterSystemCall(SYS_ppoll, SECCOMP_RET_KILL_PROCESS) != 0) {
            return 3;
        }
        launch(LaunchMode::ProgramPath, widen(probePath()));
        return 0;
    });
    ASSERT_EQ(exitCode, 0);
    expectOneProbeWithNullStreamsOnly(scratch);
}

struct RefusedStep {
    const char* name;
    long systemCall;
    std::optional<std::uint32_t> thirdArgument;
    std::uint16_t error;
    std::string says;
    std::uint32_t action = SECCOMP_RET_ERRNO;  // with the error, or a kill that reports EINTR
};

TEST(ChildProcesses, AStepThatFailsIsNamedInTheReport) {
    const RefusedStep cases[] = {
        {"opening /dev/null", SYS_openat, O_RDWR, EACCES, "cannot open /dev/null for the child"},
        {"redirecting", SYS_dup3, std::nullopt, EBADF,
         "cannot make /dev/null the child's standard streams"},
        {"new session", SYS_setsid, std::nullopt, EPERM,
         "cannot start a new session for the child"},
        // Killed before it created the program's process: nothing runs, and the call knows it.
        {"intermediate killed", SYS_dup3, std::nullopt, EINTR,
         "the process starting it was killed by signal " + std::to_string(SIGSYS),
         SECCOMP_RET_KILL_THREAD},
        // A core-dumping signal before exec (SIGSYS from the filter) ends only the program's
        // process, which says so, rather than dumping the caller's whole memory.
        {"core-dumping signal before exec", SYS_execve, std::nullopt, EINTR,
         "its process was ended by signal " + std::to_string(SIGSYS) + " before exec",
         SECCOMP_RET_TRAP},
        // The same in the intermediate, at the one call only it makes (filtered by number, so on
        // a kernel without close_range too): it exits, rather than being killed by the signal.
        {"core-dumping signal in the intermediate", SYS_close_range, std::nullopt, EINTR,
         "the process starting it was ended by signal " + std::to_string(SIGSYS) +
             " before it started the program",
         SECCOMP_RET_TRAP},
    };
    for (const RefusedStep& c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDirectory scratch;
        ScopedEnvironment reportDirectory("STARTUTIL_PROBE_DIR", scratch.path());
        int exitCode = inForkedCaller(scratch, [&c, &scratch] {
            if (c.action == SECCOMP_RET_TRAP) {
                // A trap is caught, never dumped: a dump would be written to the scratch
                // directory, and before Linux 5.16 kill this caller with it.
                rlimit core{};
                getrlimit(RLIMIT_CORE, &core);
                core.rlim_cur = core.rlim_max;
                if (setrlimit(RLIMIT_CORE, &core) != 0 || chdir(scratch.path().c_str()) != 0) {
                    return 4;
                }
            } else {
                // A process killed by seccomp dumps core unless its memory is marked undumpable.
                prctl(PR_SET_DUMPABLE, 0);
            }
            std::uint32_t action = c.action | (c.action == SECCOMP_RET_ERRNO ? c.error : 0U);
            if (filterSystemCall(c.systemCall, action, c.thirdArgument) != 0) return 2;
            launch(LaunchMode::ProgramPath, widen(probePath()));
            // Both processes reaped: the launch leaves no zombie behind.
            return childrenOfThisProcess().empty() ? 0 : 3;
        });
        ASSERT_EQ(exitCode, 0) << "3: a zombie was left; -1: the caller did not survive";
        EXPECT_EQ(readFile(scratch.path() / "stderr"),
                  "StartUtil: cannot start \"" + probePath() + "\": " + c.says + ": " +
                      std::strerror(c.error) + " (error " + std::to_string(c.error) + ")\n");
        EXPECT_TRUE(reportFiles(scratch.path()).empty()) << "the program started all the same";
        for (const auto& entry : fs::directory_iterator(scratch.path())) {
            EXPECT_EQ(entry.path().filename().string().rfind("core", 0), std::string::npos)
                << "dumped: " << entry.path();
        }
    }
}

// Whoever kills the intermediate while the program's process has not exec'd yet does not end that
// process, which runs on the caller's memory and thread-local storage: the call returns only once
// it has exec'd, so that its failed execve calls (one per missing directory on PATH) leave the
// caller's errno alone, and the outcome is known again. Exit code bits: 4, the program's process
// still searched after the call returned; 8, the caller's errno changed after the call.
TEST(ChildProcesses, AKilledIntermediateLeavesNothingRunningInTheCallersMemory) {
    ScratchDirectory scratch;
    ScopedEnvironment reportDirectory("STARTUTIL_PROBE_DIR", scratch.path());
    std::string path;
    for (int i = 0; i < 1000; ++i) path += "/dev/null/" + std::to_string(i) + ":";
    ScopedEnvironment searchPath("PATH", path + fs::path(probePath()).parent_path().string());
    int exitCode = inForkedCaller(scratch, [&scratch] {
        prctl(PR_SET_CHILD_SUBREAPER, 1);  // the orphaned program's process comes back to us
        ExecHold hold;
        std::atomic<bool> returned{false};
        std::atomic<bool> programDone{false};
        int errnoAfter = 0;
        std::thread caller([&] {
            launch(LaunchMode::CommandLine,
                   widen(fs::path(probePath()).filename().string() + " a"));
            errno = EDOM;
            returned = true;
            while (!programDone) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            errnoAfter = errno;
        });
        pid_t program = hold.awaitExec();
        if (program != 0) {
            kill(parentOf(program), SIGKILL);
            hold.release();
        }
        // Lets the search go on, one directory at a time, until the probe has run; the probe
        // itself starts nothing, so an execve held after the call returned is one of the search.
        bool searchedAfterReturn = false;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (program != 0 && std::chrono::steady_clock::now() < deadline) {
            if (hold.awaitExec(100) != 0) {
                searchedAfterReturn = searchedAfterReturn || returned;
                hold.release();
            } else if (!reportFiles(scratch.path()).empty()) {
                break;
            }
        }
        programDone = true;
        caller.join();
        if (program == 0) return 3;
        int status = 0;
        waitpid(program, &status, 0);  // bounded: the probe reports and exits at once
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return 2;
        return (searchedAfterReturn ? 4 : 0) | (errnoAfter != EDOM ? 8 : 0);
    });
    EXPECT_EQ(exitCode, 0) << "4: returned before the program's exec; 8: errno changed";
    EXPECT_EQ(readFile(scratch.path() / "stderr"), "");
    std::vector<ProbeReport> reports = awaitReports(scratch.path(), 1);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0]["argv.1"], "a");
}

// SIGQUIT (the thread dump a terminal's quit key asks for, while the program's process is still
// in the caller's process group) reaching that process before its exec ends it alone, without a
// core of the caller's memory, and the call says so.
TEST(ChildProcesses, AQuitBeforeExecEndsOnlyTheProgramsProcess) {
    ScratchDirectory scratch;
    ScopedEnvironment reportDirectory("STARTUTIL_PROBE_DIR", scratch.path());
    int exitCode = inForkedCaller(scratch, [] {
        prctl(PR_SET_DUMPABLE, 0);  // no core file, should one be dumped all the same
        ExecHold hold;
        std::thread caller([] { launch(LaunchMode::ProgramPath, widen(probePath())); });
        pid_t program = hold.awaitExec();
        // Never released: the signal ends the held execve, and the process with it.
        if (program != 0) kill(program, SIGQUIT);
        caller.join();
        return program != 0 ? 0 : 3;
    });
    ASSERT_EQ(exitCode, 0);
    EXPECT_EQ(readFile(scratch.path() / "stderr"),
              "StartUtil: cannot start \"" + probePath() + "\": its process was ended by signal " +
                  std::to_string(SIGQUIT) + " before exec: " + std::strerror(EINTR) + " (error " +
                  std::to_string(EINTR) + ")\n");
    EXPECT_TRUE(reportFiles(scratch.path()).empty()) << "the program started all the same";
}

// The same signal reaching the intermediate before it has created the program's process ends it
// alone, without a core either: nothing is started, and the call says so.
TEST(ChildProcesses, AQuitBeforeTheProgramsProcessExistsEndsOnlyTheIntermediate) {
    ScratchDirectory scratch;
    ScopedEnvironment reportDirectory("STARTUTIL_PROBE_DIR", scratch.path());
    int exitCode = inForkedCaller(scratch, [] {
        prctl(PR_SET_DUMPABLE, 0);  // no core file, should one be dumped all the same
        // Holds the intermediate at close_range, a call only it makes.
        int listener = filterSystemCall(SYS_close_range, SECCOMP_RET_USER_NOTIF);
        if (listener <= 0) return 2;
        std::thread caller([] { launch(LaunchMode::ProgramPath, widen(probePath())); });
        pollfd ready{listener, POLLIN, 0};
        seccomp_notif held{};
        bool intermediateHeld =
            poll(&ready, 1, 10000) == 1 && ioctl(listener, SECCOMP_IOCTL_NOTIF_RECV, &held) == 0;
        if (intermediateHeld) kill(static_cast<pid_t>(held.pid), SIGQUIT);
        // Let go either way: the kernel refuses the answer if the signal has ended the call.
        seccomp_notif_resp response{};
        response.id = held.id;
        response.flags = SECCOMP_USER_NOTIF_FLAG_CONTINUE;
        ioctl(listener, SECCOMP_IOCTL_NOTIF_SEND, &response);
        caller.join();
        return intermediateHeld ? 0 : 3;
    });
    ASSERT_EQ(exitCode, 0);
    EXPECT_EQ(readFile(scratch.path() / "stderr"),
              "StartUtil: cannot start \"" + probePath() +
                  "\": the process starting it was ended by signal " + std::to_string(SIGQUIT) +
                  " before it started the program: " + std::strerror(EINTR) + " (error " +
                  std::to_string(EINTR) + ")\n");
    EXPECT_TRUE(reportFiles(scratch.path()).empty()) << "the program started all the same";
}
}  // namespace
