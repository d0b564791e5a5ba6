// The library's lines on standard output and error. Standard output that blocks (a pipe nobody
// reads) holds up nothing but its other lines to standard output: standard error has a lock of its
// own, an empty echo takes none, and a process forked while the lock is held can still write.
// Another writer on the same descriptors lands between the lines, never inside one.
#include <signal.h>
#include <sys/wait.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <latch>

#include "launch_harness.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kDeadline = std::chrono::seconds(10);

// Polls `done` until it holds or the deadline passes; whether it held.
template <typename Condition>
bool within(Clock::duration limit, Condition done) {
    auto deadline = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Standard output a pipe that nobody reads and standard error a file, for one scope, and a
// thread whose echo, larger than the pipe holds, is inside its write (holding whatever the
// library holds for it) until drain() reads the pipe. Nothing may assert in the scope: the test's
// own output would block on the pipe too.
class BlockedOutput {
  public:
    explicit BlockedOutput(const fs::path& directory)
        : text_(u"/nowhere/" + std::u16string(1 << 20, u'o')) {
        std::fflush(nullptr);
        savedOut_ = dup(1);
        savedErr_ = dup(2);
        int ends[2] = {-1, -1};
        if (pipe2(ends, O_CLOEXEC) != 0) return;
        read_ = ends[0];
        dup2(ends[1], 1);
        close(ends[1]);
        int err =
            open((directory / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        dup2(err, 2);
        close(err);
        echo_ = std::thread([this] {
            invokeNonBlocking(LaunchMode::ProgramPath, text_.data());
            done_ = true;
        });
    }
    ~BlockedOutput() {
        drain();
        if (echo_.joinable()) echo_.join();
        dup2(savedOut_, 1);
        dup2(savedErr_, 2);
        close(savedOut_);
        close(savedErr_);
        close(read_);
    }
    BlockedOutput(const BlockedOutput&) = delete;
    BlockedOutput& operator=(const BlockedOutput&) = delete;

    // Whether the echo got inside its write within the deadline: some of it is in the pipe, which
    // cannot hold all of it.
    bool awaitBlockedEcho() const {
        return within(kDeadline,
                      [this] {
                          int queued = 0;
                          return ioctl(read_, FIONREAD, &queued) == 0 && queued > 0;
                      }) &&
               !done_;
    }

    // Reads the pipe until the echo's call has returned and all it wrote is read; what was read.
    std::string drain() {
        if (read_ < 0) return drained_;
        char buffer[1 << 16];
        auto deadline = Clock::now() + kDeadline;
        for (pollfd readable{read_, POLLIN, 0}; Clock::now() < deadline;) {
            if (poll(&readable, 1, 10) == 1) {
                ssize_t size = read(read_, buffer, sizeof buffer);
                if (size > 0) drained_.append(buffer, static_cast<std::size_t>(size));
            } else if (done_) {
                break;
            }
        }
        return drained_;
    }

    std::string echo() const { return std::string(text_.begin(), text_.end()); }

  private:
    std::u16string text_;
    int savedOut_ = -1, savedErr_ = -1, read_ = -1;
    std::atomic<bool> done_{false};
    std::thread echo_;
    std::string drained_;
};

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Calls that write to standard error alone (no command; an empty text, whose echo is empty) are
// not held up by an echo that standard output blocks: they return, and their lines are there.
TEST(Output, StandardErrorIsNotHeldUpByABlockedStandardOutput) {
    ScratchDirectory scratch;
    std::atomic<int> returned{0};
    bool blocked = false, nullReturned = false, emptyReturned = false;
    std::string echoed, echo;
    {
        BlockedOutput output(scratch.path());
        blocked = output.awaitBlockedEcho();
        std::thread errorOnly([&returned] {
            invokeNonBlocking(LaunchMode::ProgramPath, nullptr);
            ++returned;
            launch(LaunchMode::CommandLine, u"");
            ++returned;
        });
        nullReturned = blocked && within(kDeadline, [&] { return returned >= 1; });
        emptyReturned = nullReturned && within(kDeadline, [&] { return returned >= 2; });
        echoed = output.drain();
        echo = output.echo();
        errorOnly.join();
    }
    ASSERT_TRUE(blocked) << "the echo did not block in its write";
    EXPECT_TRUE(nullReturned) << "a call with no command waited for standard output";
    EXPECT_TRUE(emptyReturned) << "an empty echo waited for standard output";
    EXPECT_TRUE(echoed == echo) << "standard output got " << echoed.size() << " bytes";
    std::vector<std::string> lines = linesOf(readFile(scratch.path() / "stderr"));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "StartUtil: cannot start (no command): " + std::string(strerror(EINVAL)) +
                            " (error " + std::to_string(EINVAL) + ")");
    EXPECT_EQ(lines[1], "StartUtil: cannot start \"\": the command is blank (error " +
                            std::to_string(ENOENT) + ")");
    EXPECT_EQ(lines[2].rfind("StartUtil: cannot start \"/nowhere/ooo", 0), 0u) << lines[2];
}

// The exit code of a process, or -1 when it has not ended by itself within the deadline (it is
// killed then).
int awaitExit(pid_t pid) {
    int status = 0;
    if (!within(kDeadline, [&] { return waitpid(pid, &status, WNOHANG) == pid; })) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Native code may fork the VM without exec while another thread is inside an echo: the child
// has only the forking thread, so no one there will ever let go of the lock it inherits held.
// Its own launches still echo and report.
TEST(Output, AProcessForkedWhileTheLockIsHeldStillWrites) {
    ScratchDirectory scratch;
    fs::path forkedOut = scratch.path() / "forked-stdout";
    std::u16string text = u"/nowhere/forked";
    bool blocked = false;
    int forkedExit = -1;
    {
        BlockedOutput output(scratch.path());
        blocked = output.awaitBlockedEcho();
        if (blocked) {
            pid_t child = fork();
            if (child == 0) {
                int out = open(forkedOut.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
                if (out < 0 || dup2(out, 1) != 1) _exit(2);
                invokeNonBlocking(LaunchMode::ProgramPath, text.data());
                _exit(0);
            }
            forkedExit = child > 0 ? awaitExit(child) : -2;
        }
    }
    ASSERT_TRUE(blocked) << "the echo did not block in its write";
    EXPECT_EQ(forkedExit, 0) << "the forked process did not finish its launch";
    EXPECT_EQ(readFile(forkedOut), "/nowhere/forked");
    std::vector<std::string> lines = linesOf(readFile(scratch.path() / "stderr"));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0],
              "StartUtil: cannot start \"/nowhere/forked\": " + std::string(strerror(ENOENT)) +
                  " (error " + std::to_string(ENOENT) + ")");
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

// Another writer gets in before every write(2) the caller makes (as the JVM's own System.out may
// at any moment, past the C library): the echo and the failure line are one write each, so it
// can only land before them, never inside. The text is longer than any stdio buffer.
TEST(Output, AnotherWriterCannotGetInsideAnEchoOrAFailureLine) {
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

}  // namespace
