// Launches that something interferes with: a step the system refuses, a killed intermediate, a
// cancelled thread. Each runs in a caller forked off the test, since its filters are for good.
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>
#include <latch>

#include "launch_harness.h"

namespace {

// Runs `body` in a forked caller whose standard output is discarded and whose standard error
// goes to scratch/stderr; returns the caller's exit code, or -1 if it did not exit by itself.
int inForkedCaller(const ScratchDirectory& scratch, const std::function<int()>& body) {
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

// Answers each write(2) of the filtered threads that the listener reports: another writer first
// writes `|` to the same descriptor, then the write goes on. Ends when none comes for ten seconds.
void writeBeforeEachWrite(int listener) {
    for (pollfd ready{listener, POLLIN, 0}; poll(&ready, 1, 10000) == 1;) {
        seccomp_notif held{};
        if (ioctl(listener, SECCOMP_IOCTL_NOTIF_RECV, &held) != 0) return;
        auto fd = static_cast<int>(held.data.args[0]);
        if (fd == 1 || fd == 2) (void)!write(fd, "|", 1);
        seccomp_notif_resp response{};
        response.id = held.id;
        response.flags = SECCOMP_USER_NOTIF_FLAG_CONTINUE;
        ioctl(listener, SECCOMP_IOCTL_NOTIF_SEND, &response);
    }
}

struct RefusedStep {
    const char* name;
    long systemCall;
    std::optional<std::uint32_t> thirdArgument;
    std::uint16_t error;
    std::string says;
    std::uint32_t action = SECCOMP_RET_ERRNO;  // with the error, or a kill that reports EINTR
};

TEST(InterruptedLaunch, AStepThatFailsIsNamedInTheReport) {
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

// Another writer gets in before every write(2) the caller makes (as the JVM's own System.out may
// at any moment, past the C library): the echo and the failure line are one write each, so it
// can only land before them, never inside. The text is longer than any stdio buffer.
TEST(InterruptedLaunch, AnotherWriterCannotGetInsideAnEchoOrAFailureLine) {
    ScratchDirectory scratch;
    const std::string text = "/nowhere/" + std::string(70000, 'e');
    int exitCode = inForkedCaller(scratch, [&] {
        int out = open((scratch.path() / "stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (out < 0 || dup2(out, 1) != 1) return 2;
        std::atomic<int> listener{-1};
        std::latch filtered(1);
        // Started before the filter, which holds only the threads started after it and this one.
        std::thread other([&] {
            filtered.wait();
            if (listener > 0) writeBeforeEachWrite(listener);
        });
        listener = filterSystemCall(SYS_write, SECCOMP_RET_USER_NOTIF);
        filtered.count_down();
        if (listener <= 0) {
            other.join();
            return 3;
        }
        launch(LaunchMode::ProgramPath, widen(text));
        _exit(0);  // the listener thread ends with the process
    });
    ASSERT_EQ(exitCode, 0);
    EXPECT_TRUE(readFile(scratch.path() / "stdout") == "|" + text)
        << "the echo was torn: " << readFile(scratch.path() / "stdout").substr(0, 200);
    EXPECT_EQ(readFile(scratch.path() / "stderr"),
              "|StartUtil: cannot start \"" + text.substr(0, 1000) +
                  "\xE2\x80\xA6\" (70009 characters): " + std::strerror(ENAMETOOLONG) + " (error " +
                  std::to_string(ENAMETOOLONG) + ")\n");
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
TEST(InterruptedLaunch, WithoutCloseRangeOrProcOnlyTheOpenDescriptorsUpToTheHardLimitAreClosed) {
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
TEST(InterruptedLaunch, WithoutCloseRangeOrProcADescriptorAboveLoweredLimitsIsClosed) {
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
TEST(InterruptedLaunch, ACallerWithNoDescriptorFreeStillHasItsDescriptorsListed) {
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

// Whoever kills the intermediate while the program's process has not exec'd yet does not end that
// process, which runs on the caller's memory and thread-local storage: the call returns only once
// it has exec'd, so that its failed execve calls (one per missing directory on PATH) leave the
// caller's errno alone, and the outcome is known again. Exit code bits: 4, the program's process
// still searched after the call returned; 8, the caller's errno changed after the call.
TEST(InterruptedLaunch, AKilledIntermediateLeavesNothingRunningInTheCallersMemory) {
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
TEST(InterruptedLaunch, AQuitBeforeExecEndsOnlyTheProgramsProcess) {
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
TEST(InterruptedLaunch, AQuitBeforeTheProgramsProcessExistsEndsOnlyTheIntermediate) {
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

// The mapping that holds a process's stack pointer, and whether an inaccessible page lies right
// below it; empty when all is well, else what was found.
std::string stackWithoutGuard(pid_t pid) {
    std::ifstream syscallFile("/proc/" + std::to_string(pid) + "/syscall");
    std::vector<std::string> fields{std::istream_iterator<std::string>(syscallFile), {}};
    if (fields.size() < 3) return "no stack pointer for " + std::to_string(pid);
    std::uintptr_t sp = std::stoull(fields[fields.size() - 2], nullptr, 16);
    std::ifstream maps("/proc/self/maps");
    std::uintptr_t previousEnd = 0;
    std::string previousPermissions;
    for (std::string line; std::getline(maps, line);) {
        std::uintptr_t start = std::stoull(line, nullptr, 16);
        std::uintptr_t end = std::stoull(line.substr(line.find('-') + 1), nullptr, 16);
        std::string permissions = line.substr(line.find(' ') + 1, 4);
        if (sp > start && sp <= end) {
            bool guarded = previousEnd == start && previousPermissions == "---p";
            bool ownMapping = end - start <= (1u << 20) && line.find('[') == std::string::npos;
            return guarded && ownMapping ? "" : "unguarded stack: " + line;
        }
        previousEnd = end;
        previousPermissions = permissions;
    }
    return "stack pointer outside every mapping";
}

// Both processes that run in the caller's memory have stacks of their own with a guard page, so
// that an overflow faults instead of writing into the caller's heap.
TEST(InterruptedLaunch, BothStacksHaveAGuardPageBelowThem) {
    ScratchDirectory scratch;
    ScopedEnvironment reportDirectory("STARTUTIL_PROBE_DIR", scratch.path());
    int exitCode = inForkedCaller(scratch, [] {
        ExecHold hold;
        std::thread caller([] { launch(LaunchMode::ProgramPath, widen(probePath())); });
        pid_t program = hold.awaitExec();
        if (program == 0) return 3;
        std::string found = stackWithoutGuard(parentOf(program)) + stackWithoutGuard(program);
        hold.release();
        caller.join();
        std::fputs(found.c_str(), stderr);
        return 0;
    });
    EXPECT_EQ(exitCode, 0);
    EXPECT_EQ(readFile(scratch.path() / "stderr"), "");
    EXPECT_EQ(awaitReports(scratch.path(), 1).size(), 1u);
}

// The guarded stacks are kept for the next launch rather than unmapped each time: a caller whose
// munmap of a stack mapping's size would kill it launches again and again, from two threads.
TEST(InterruptedLaunch, StackMappingsAreReusedNotUnmapped) {
    constexpr int kLaunches = 8;
    ScratchDirectory scratch;
    ScopedEnvironment reportDirectory("STARTUTIL_PROBE_DIR", scratch.path());
    int exitCode = inForkedCaller(scratch, [] {
        auto page = static_cast<std::uint32_t>(sysconf(_SC_PAGESIZE));
        // A guard and a stack for the intermediate and for the program, and the block they are
        // aligned in.
        std::uint32_t mappingSize =
            2 * (page + (32u * 1024 + page - 1) / page * page) + 256u * 1024;
        if (filterSystemCall(SYS_munmap, SECCOMP_RET_KILL_PROCESS, mappingSize, 1) != 0) return 2;
        auto launches = [] {
            for (int i = 0; i < kLaunches / 2; ++i)
                launch(LaunchMode::ProgramPath, widen(probePath()));
        };
        std::thread other(launches);
        launches();
        other.join();
        return 0;
    });
    EXPECT_EQ(exitCode, 0) << "a stack mapping was unmapped";
    EXPECT_EQ(awaitReports(scratch.path(), kLaunches).size(), std::size_t{kLaunches});
}

// A cancellation already pending when the call starts waits until the call is done: acting
// inside it would unwind through the library and end the whole process.
TEST(InterruptedLaunch, APendingCancellationActsOnlyAfterTheLaunch) {
    ScratchDirectory scratch;
    ScopedEnvironment reportDirectory("STARTUTIL_PROBE_DIR", scratch.path());
    CapturedOutput output(scratch.path());
    static std::u16string text;
    text = widen(probePath());
    pthread_t thread{};
    ASSERT_EQ(pthread_create(
                  &thread, nullptr,
                  [](void*) -> void* {
                      pthread_cancel(pthread_self());
                      invokeNonBlocking(LaunchMode::ProgramPath, text.data());
                      pthread_testcancel();
                      return nullptr;
                  },
                  nullptr),
              0);
    void* result = nullptr;
    pthread_join(thread, &result);
    output.restore();
    EXPECT_EQ(result, PTHREAD_CANCELED);
    EXPECT_EQ(output.stdoutText(), probePath());
    EXPECT_EQ(awaitReports(scratch.path(), 1).size(), 1u);
}

// A text no execve could take is refused as such before its plan is made, and costs about its
// own size once more: under an address-space limit it still gets the true reason, its whole
// echo, and a short failure line.
TEST(InterruptedLaunch, AHugeTextIsRefusedAsTooLongWithinLittleMemory) {
    constexpr std::size_t kUnits = 30'000'000;
    ScratchDirectory scratch;
    // A path is too long as a file name before it is too long as an argument.
    for (auto modeAndError : {std::pair{LaunchMode::ProgramPath, ENAMETOOLONG},
                              std::pair{LaunchMode::CommandLine, E2BIG}}) {
        // Named copies: clang 14 cannot capture a structured binding in a lambda.
        LaunchMode mode = modeAndError.first;
        int error = modeAndError.second;
        SCOPED_TRACE(mode == LaunchMode::ProgramPath ? "program path" : "command line");
        int exitCode = inForkedCaller(scratch, [mode, &scratch] {
            std::u16string text(kUnits, u'a');
            text[0] = u'/';
            int echo =
                open((scratch.path() / "stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(echo, 1);
            std::ifstream status("/proc/self/status");
            std::size_t sizeKiB = 0;
            for (std::string line; std::getline(status, line);) {
                if (line.rfind("VmSize:", 0) == 0) sizeKiB = std::stoul(line.substr(7));
            }
            // Room for the UTF-8 form and a little more, not for three copies of it.
            rlim_t limit = (sizeKiB << 10) + 2 * kUnits;
            rlimit addressSpace{limit, limit};
            if (sizeKiB == 0 || setrlimit(RLIMIT_AS, &addressSpace) != 0) return 2;
            launch(mode, std::move(text));
            return 0;
        });
        ASSERT_EQ(exitCode, 0);
        EXPECT_EQ(fs::file_size(scratch.path() / "stdout"), kUnits) << "the echo is not whole";
        EXPECT_EQ(readFile(scratch.path() / "stderr"),
                  "StartUtil: cannot start \"/" + std::string(999, 'a') +
                      "\xE2\x80\xA6\" (30000000 characters): " + std::strerror(error) + " (error " +
                      std::to_string(error) + ")\n");
    }
}

// clearenv() leaves environ null: the call neither crashes nor fails, and the program gets an
// empty environment.
TEST(InterruptedLaunch, AClearedEnvironmentIsAnEmptyOne) {
    ScratchDirectory scratch;
    fs::path written = scratch.path() / "environment";
    int exitCode = inForkedCaller(scratch, [&written] {
        if (clearenv() != 0 || environ != nullptr) return 2;
        std::string file = written.string();
        launch(LaunchMode::CommandLine, widen("/bin/sh -c \"env > '" + file + ".part' && mv '" +
                                              file + ".part' '" + file + "'\""));
        return 0;
    });
    ASSERT_EQ(exitCode, 0) << "the caller did not survive the launch";
    EXPECT_EQ(readFile(scratch.path() / "stderr"), "");
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!fs::exists(written) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_TRUE(fs::exists(written)) << "the program did not run";
    // The shell adds its working directory and nothing else.
    std::string variables = readFile(written);
    EXPECT_EQ(variables.find("PATH="), std::string::npos) << variables;
    EXPECT_EQ(variables.find("STARTUTIL"), std::string::npos) << variables;
}

// The kernel counts every string with its terminator, the file name's too, and a pointer for
// each argument and variable but none for the null ends of the arrays: a command of exactly
// that many bytes is started, one byte more is refused. A short file name ("./p") is where a
// count that misses it and adds a pointer refuses what execve takes.
TEST(InterruptedLaunch, AnArgumentListExactlyAtTheKernelsLimitIsTaken) {
    constexpr std::size_t kLimit = 131072;  // the kernel's floor, with a stack limit of 512 KiB
    ScratchDirectory scratch;
    copyProbe(scratch.path() / "p");
    fs::path reports = scratch.path() / "reports";
    fs::create_directory(reports);
    for (std::size_t over : {std::size_t{0}, std::size_t{1}}) {
        SCOPED_TRACE(over == 0 ? "at the limit" : "one byte over");
        int exitCode = inForkedCaller(scratch, [&scratch, &reports, over] {
            rlimit stack{};
            getrlimit(RLIMIT_STACK, &stack);
            stack.rlim_cur = 4 * kLimit;
            if (setrlimit(RLIMIT_STACK, &stack) != 0 || chdir(scratch.path().c_str()) != 0) {
                return 2;
            }
            std::string variable = "STARTUTIL_PROBE_DIR=" + reports.string();
            char* variables[] = {variable.data(), nullptr};
            environ = variables;
            // "./p" as the file name and as argv[0], the argument and the variable, each with a
            // terminator, and three pointers.
            std::size_t fixed = 4 + 4 + 1 + (variable.size() + 1) + 3 * sizeof(char*);
            launch(LaunchMode::CommandLine,
                   widen("./p " + std::string(kLimit - fixed + over, 'a')));
            return 0;
        });
        ASSERT_EQ(exitCode, 0);
        std::string failure = readFile(scratch.path() / "stderr");
        if (over == 0) {
            EXPECT_EQ(failure, "");
            EXPECT_EQ(awaitReports(reports, 1).size(), 1u);
        } else {
            EXPECT_NE(failure.find(std::string(std::strerror(E2BIG)) + " (error 7)\n"),
                      std::string::npos)
                << failure;
        }
    }
}

}  // namespace
