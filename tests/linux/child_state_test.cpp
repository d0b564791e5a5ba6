// How a launched program starts: detached from the caller, whatever state the caller is in.
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "launch_harness.h"

namespace {

constexpr rlim_t kDescriptorLimit = 1000000;
constexpr int kSignalTheLibraryKeeps = 33;

struct KernelSigaction {
    void* handler;
    unsigned long flags;
    void* restorer;
    std::uint64_t mask;
};

// A caller in the worst state for a launch: descriptors inheritable or not, one at the top of a
// limit of a million (or the hard limit, without the privilege to raise it), SIGHUP and one of the
// C library's own signals ignored, signals blocked, in a directory of its own.
class HostileCaller {
  public:
    explicit HostileCaller(const fs::path& directory) {
        getrlimit(RLIMIT_NOFILE, &oldLimit_);
        rlimit raised{kDescriptorLimit, kDescriptorLimit};
        if (setrlimit(RLIMIT_NOFILE, &raised) != 0) {
            raised = {oldLimit_.rlim_max, oldLimit_.rlim_max};
            setrlimit(RLIMIT_NOFILE, &raised);
        }
        pipe(inheritablePipe_);  // no O_CLOEXEC: a plain fork+exec would pass these on
        closeOnExec_ = open(directory.c_str(), O_RDONLY | O_CLOEXEC);
        topDescriptor_ = static_cast<int>(raised.rlim_cur - 1);
        dup2(inheritablePipe_[0], topDescriptor_);

        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigaction(SIGHUP, &ignore, &oldHup_);
        KernelSigaction ignoreRaw{};
        ignoreRaw.handler = reinterpret_cast<void*>(SIG_IGN);
        syscall(SYS_rt_sigaction, kSignalTheLibraryKeeps, &ignoreRaw, &oldLibrarySignal_, 8);
        sigset_t blocked;
        sigemptyset(&blocked);
        sigaddset(&blocked, SIGUSR1);
        sigaddset(&blocked, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &blocked, &oldMask_);

        oldDirectory_ = fs::current_path();
        fs::current_path(directory);
    }
    ~HostileCaller() {
        fs::current_path(oldDirectory_);
        pthread_sigmask(SIG_SETMASK, &oldMask_, nullptr);
        syscall(SYS_rt_sigaction, kSignalTheLibraryKeeps, &oldLibrarySignal_, nullptr, 8);
        sigaction(SIGHUP, &oldHup_, nullptr);
        for (int fd : {inheritablePipe_[0], inheritablePipe_[1], closeOnExec_, topDescriptor_}) {
            close(fd);
        }
        setrlimit(RLIMIT_NOFILE, &oldLimit_);
    }
    HostileCaller(const HostileCaller&) = delete;
    HostileCaller& operator=(const HostileCaller&) = delete;

    int topDescriptor() const { return topDescriptor_; }

  private:
    rlimit oldLimit_{};
    int inheritablePipe_[2] = {-1, -1};
    int closeOnExec_ = -1;
    int topDescriptor_ = -1;
    struct sigaction oldHup_ {};
    KernelSigaction oldLibrarySignal_{};
    sigset_t oldMask_{};
    fs::path oldDirectory_;
};

struct ModeCase {
    const char* name;
    LaunchMode mode;
    std::string text;  // run from the scratch directory, which holds "a probe"
    std::vector<std::string> argv;
};

class ChildState : public ::testing::TestWithParam<ModeCase> {};

TEST_P(ChildState, LeadsItsOwnSessionWithNullStdioNoOtherDescriptorAndDefaultSignals) {
    const ModeCase& c = GetParam();
    ScratchDirectory scratch;
    fs::create_directory(scratch.path() / "reports");
    copyProbe(scratch.path() / "a probe");
    ScopedEnvironment reportDirectory("STARTUTIL_PROBE_DIR", scratch.path() / "reports");
    ScopedEnvironment environment("STARTUTIL_PROBE_ENV", "caf\xc3\xa9\nline 2");
    HostileCaller caller(scratch.path());
    ASSERT_EQ(fcntl(caller.topDescriptor(), F_GETFD), 0) << "no descriptor near the top";

    CapturedOutput output(scratch.path());
    errno = EDOM;
    launch(c.mode, widen(c.text));
    int errnoAfter = errno;
    output.restore();

    EXPECT_EQ(errnoAfter, EDOM) << "the caller's errno changed";
    EXPECT_EQ(output.stdoutText(), c.text);
    EXPECT_EQ(output.stderrText(), "");
    EXPECT_TRUE(childrenOfThisProcess().empty()) << "the caller has a child after the call";

    std::vector<ProbeReport> reports = awaitReports(scratch.path() / "reports", 1);
    ASSERT_EQ(reports.size(), 1u);
    ProbeReport& report = reports[0];
    EXPECT_EQ(report["pgid"], report["pid"]);
    EXPECT_EQ(report["sid"], report["pid"]);
    EXPECT_NE(report["ppid"], std::to_string(getpid())) << "the program is the caller's child";
    EXPECT_EQ(report["tty"], "none");
    EXPECT_EQ(reportedDescriptors(report),
              (std::vector<std::string>{"0=/dev/null", "1=/dev/null", "2=/dev/null"}));
    EXPECT_EQ(report["sigmask"], "0000000000000000");
    EXPECT_EQ(report["sigignored"], "");
    EXPECT_EQ(report["cwd"], scratch.path().string());
    EXPECT_EQ(report["env"], "caf\xc3\xa9\nline 2");
    ASSERT_EQ(report["argc"], std::to_string(c.argv.size()));
    for (std::size_t i = 0; i < c.argv.size(); ++i) {
        EXPECT_EQ(report["argv." + std::to_string(i)], c.argv[i]) << "argument " << i;
    }
    EXPECT_FALSE(fs::exists(scratch.path() / "out")) << "a shell redirected output";
}

INSTANTIATE_TEST_SUITE_P(
    BothModes, ChildState,
    ::testing::Values(
        // The path alone, never split at its space, taken from the working directory.
        ModeCase{"ProgramPath", LaunchMode::ProgramPath, "a probe", {"a probe"}},
        // Shell syntax reaches the program as it is written.
        ModeCase{"CommandLine",
                 LaunchMode::CommandLine,
                 "\"./a probe\" \"two words\" $HOME a;b|c * >out `id`",
                 {"./a probe", "two words", "$HOME", "a;b|c", "*", ">out", "`id`"}}),
    [](const auto& test) { return std::string(test.param.name); });

// The caller's own SIGCHLD handling must neither break a launch nor leave a zombie.
TEST(ChildState, LaunchesWhateverTheCallerDoesWithSigchld) {
    static std::atomic<int> reaped{0};
    struct sigaction reaper {};
    reaper.sa_handler = [](int) {
        int saved = errno;
        while (waitpid(-1, nullptr, WNOHANG) > 0) reaped.fetch_add(1);
        errno = saved;
    };
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    for (const struct sigaction& action : {reaper, ignore}) {
        ScratchDirectory scratch;
        ScopedEnvironment reportDirectory("STARTUTIL_PROBE_DIR", scratch.path());
        struct sigaction old {};
        sigaction(SIGCHLD, &action, &old);
        CapturedOutput output(scratch.path());
        launch(LaunchMode::ProgramPath, widen(probePath()));
        output.restore();
        std::vector<ProbeReport> reports = awaitReports(scratch.path(), 1);
        sigaction(SIGCHLD, &old, nullptr);

        EXPECT_EQ(output.stderrText(), "");
        EXPECT_EQ(reports.size(), 1u);
        EXPECT_TRUE(childrenOfThisProcess().empty());
    }
}

TEST(ChildState, ManyThreadsLaunchAtOnceWithoutZombiesOrLeakedDescriptors) {
    constexpr int kThreads = 8, kLaunchesEach = 25;
    ScratchDirectory scratch;
    ScopedEnvironment reportDirectory("STARTUTIL_PROBE_DIR", scratch.path());
    std::size_t descriptorsBefore = openDescriptorCount();
    {
        CapturedOutput output(scratch.path());
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([] {
                for (int i = 0; i < kLaunchesEach; ++i) {
                    launch(LaunchMode::ProgramPath, widen(probePath()));
                }
            });
        }
        for (auto& thread : threads) thread.join();
        output.restore();
        EXPECT_EQ(output.stderrText(), "");
    }
    std::vector<ProbeReport> reports = awaitReports(scratch.path(), kThreads * kLaunchesEach);
    EXPECT_EQ(reports.size(), static_cast<std::size_t>(kThreads * kLaunchesEach));
    for (auto& report : reports) {
        EXPECT_EQ(reportedDescriptors(report).size(), 3u) << "pid " << report["pid"];
    }
    EXPECT_TRUE(childrenOfThisProcess().empty());
    EXPECT_EQ(openDescriptorCount(), descriptorsBefore);
}

bool isAlive(pid_t pid) {
    std::optional<ProcessStat> stat = processStat("/proc/" + std::to_string(pid) + "/stat");
    return stat && stat->state != 'Z';
}

// Killing the caller's whole process group, as a terminal or a service manager would, does
// not reach the program.
TEST(ChildState, OutlivesTheCallersProcessGroupBeingKilled) {
    ScratchDirectory scratch;
    ScopedEnvironment reportDirectory("STARTUTIL_PROBE_DIR", scratch.path());
    ScopedEnvironment linger("STARTUTIL_PROBE_LINGER_MS", "30000");
    pid_t caller = fork();
    ASSERT_GE(caller, 0);
    if (caller == 0) {
        setpgid(0, 0);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        launch(LaunchMode::ProgramPath, widen(probePath()));
        for (int i = 0; i < 60; ++i) sleep(1);  // until the test kills the group
        _exit(0);
    }
    setpgid(caller, caller);
    std::vector<ProbeReport> reports = awaitReports(scratch.path(), 1);
    kill(-caller, SIGKILL);
    waitpid(caller, nullptr, 0);
    ASSERT_EQ(reports.size(), 1u);
    pid_t program = std::stoi(reports[0]["pid"]);

    EXPECT_TRUE(isAlive(program)) << "the program died with its caller's group";
    kill(program, SIGKILL);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (isAlive(program) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_FALSE(isAlive(program));
}

TEST(ChildState, ClosesEveryOtherDescriptorWithoutCloseRange) {
    ScratchDirectory scratch;
    ScopedEnvironment reportDirectory("STARTUTIL_PROBE_DIR", scratch.path());
    pid_t caller = fork();
    ASSERT_GE(caller, 0);
    if (caller == 0) {
        // More descriptors than one directory read returns, so closing spans several passes.
        int null = open("/dev/null", O_WRONLY);
        for (int i = 0; i < 500; ++i) dup(null);
        dup2(null, 1);
        // As on kernels before 5.9, so that the launcher has to list /proc/self/fd instead.
        if (filterSystemCall(SYS_close_range, SECCOMP_RET_ERRNO | ENOSYS) != 0) _exit(2);
        if (syscall(SYS_close_range, 1000000U, 1000000U, 0U) == 0 || errno != ENOSYS) _exit(3);
        launch(LaunchMode::ProgramPath, widen(probePath()));
        _exit(0);
    }
    int status = 0;
    waitpid(caller, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0) << "close_range could not be hidden";
    std::vector<ProbeReport> reports = awaitReports(scratch.path(), 1);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reportedDescriptors(reports[0]),
              (std::vector<std::string>{"0=/dev/null", "1=/dev/null", "2=/dev/null"}));
}

}  // namespace
