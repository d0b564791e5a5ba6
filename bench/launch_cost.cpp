// What one launch costs the caller: the library against a bare posix_spawn and fork + execve of
// the same program, each call timed on its own, in a small process or in one that has touched a
// large heap (fork copies its page tables; the library and posix_spawn share the address space).
//
//   launch_cost [--calls N] [--fork-calls N] [--touch MiB] [--out DIR] [--only METHOD] [program]
//       Runs the methods (library, posix_spawn, fork_exec) in interleaved blocks after a short
//       warm-up and prints the median and p99 per call, and the CPU time and context switches
//       per launch (children included), to standard error; with --out, appends them to files in
//       DIR. Fails if any launch did not exit with 0.
//   launch_cost reap --expect N -- command [argument...]
//       Runs the command as its child subreaper: the library's programs, which are nobody's
//       children, come back to us and are reaped at once. Fails unless the command succeeds and
//       exactly N such programs exited with 0.
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "launcher.h"

extern "C" char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// Each method runs in this many blocks, taking turns, so that a burst of load elsewhere on the
// machine falls on all of them alike.
constexpr int kBlocks = 10;
// Children started and not yet reaped, at most: enough that reaping never waits for a child
// still starting, few enough never to crowd the process table.
constexpr int kMaxOutstanding = 32;

// Starts the program once; false when the method itself reported that nothing was started.
using Launch = bool (*)(std::string& program);

// How long the collector may take to hand back a program it reaped.
constexpr int kCollectMilliseconds = 20000;

bool launchWithLibrary(std::string& program) {
    std::u16string text(program.begin(), program.end());  // the bindings' private copy
    invokeNonBlocking(LaunchMode::ProgramPath, text.data());
    return true;  // a failure shows as a program that never comes back to be reaped
}

bool launchWithPosixSpawn(std::string& program) {
    char* argv[] = {program.data(), nullptr};
    pid_t pid = 0;
    return posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, environ) == 0;
}

bool launchWithForkExec(std::string& program) {
    char* argv[] = {program.data(), nullptr};
    pid_t pid = fork();
    if (pid == 0) {
        execve(program.c_str(), argv, environ);
        _exit(127);
    }
    return pid > 0;
}

// CPU time and context switches.
struct Usage {
    double cpuMicroseconds = 0;
    long switches = 0;

    void add(const rusage& used) {
        for (const timeval& time : {used.ru_utime, used.ru_stime}) {
            cpuMicroseconds +=
                static_cast<double>(time.tv_sec) * 1e6 + static_cast<double>(time.tv_usec);
        }
        switches += used.ru_nvcsw + used.ru_nivcsw;
    }
};

// A program the collector reaped: whether it exited with 0, and what it used.
struct Reaped {
    bool ok;
    Usage usage;
};

struct Method {
    const char* name;
    Launch launch;
    int calls;
    bool ownChildren;  // else the collector reaps its programs
    std::vector<double> microseconds;
    Usage timedUsage;  // over the timed blocks, children included
};

// Every program started must exit with 0: this process reaps its own children, and the collector
// (its parent, a subreaper) the library's, which are nobody's children, and hands each back
// through a pipe. This process adopts nothing, as most callers do. Reaping happens between timed
// calls, never inside one.
class Children {
  public:
    explicit Children(int collector) : collector_(collector) {}
    void started() { ++outstanding_; }
    void failedToStart() { ++failures_; }
    void reapDownTo(int limit, bool own) {
        while (outstanding_ > limit) {
            Reaped reaped{};
            if (!(own ? reapOwn(reaped) : collect(reaped))) {  // the rest never started
                failures_ += outstanding_;
                outstanding_ = 0;
                return;
            }
            --outstanding_;
            if (!reaped.ok) ++failures_;
            if (!own) {
                collected_.cpuMicroseconds += reaped.usage.cpuMicroseconds;
                collected_.switches += reaped.usage.switches;
            }
        }
    }
    int failures() const { return failures_; }

    // CPU time and context switches of this process and of every child reaped so far.
    Usage usageSoFar() const {
        Usage usage = collected_;
        for (int who : {RUSAGE_SELF, RUSAGE_CHILDREN}) {
            rusage used{};
            getrusage(who, &used);
            usage.add(used);
        }
        return usage;
    }

  private:
    static bool reapOwn(Reaped& reaped) {
        int status = 0;
        pid_t pid = 0;
        while ((pid = waitpid(-1, &status, 0)) < 0 && errno == EINTR) {
        }
        reaped.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
        return pid > 0;
    }
    bool collect(Reaped& reaped) const {
        pollfd ready{collector_, POLLIN, 0};
        return poll(&ready, 1, kCollectMilliseconds) == 1 &&
               read(collector_, &reaped, sizeof reaped) == sizeof reaped;
    }

    int collector_;
    Usage collected_;
    int outstanding_ = 0;
    int failures_ = 0;
};

void runCalls(Method& method, std::string& program, int calls, Children& children, bool timed) {
    Usage before = children.usageSoFar();
    for (int i = 0; i < calls; ++i) {
        children.reapDownTo(kMaxOutstanding - 1, method.ownChildren);
        auto start = Clock::now();
        bool ok = method.launch(program);
        auto elapsed = Clock::now() - start;
        ok ? children.started() : children.failedToStart();
        if (timed) {
            method.microseconds.push_back(
                std::chrono::duration<double, std::micro>(elapsed).count());
        }
    }
    children.reapDownTo(0, method.ownChildren);
    if (timed) {
        Usage after = children.usageSoFar();
        method.timedUsage.cpuMicroseconds += after.cpuMicroseconds - before.cpuMicroseconds;
        method.timedUsage.switches += after.switches - before.switches;
    }
}

// Nearest rank, as bench/run.sh computes it from the samples.
double percentile(std::vector<double> values, double fraction) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    auto rank = static_cast<std::size_t>(std::ceil(fraction * static_cast<double>(values.size())));
    return values[std::max<std::size_t>(rank, 1) - 1];
}

// A heap the size of a big JVM's, every page touched so that fork has page tables to copy.
bool touchHeap(std::size_t mebibytes) {
    if (mebibytes == 0) return true;
    std::size_t bytes = mebibytes << 20;
    void* heap = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (heap == MAP_FAILED) return false;
    auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    for (std::size_t offset = 0; offset < bytes; offset += page) {
        static_cast<volatile char*>(heap)[offset] = 1;
    }
    return true;  // kept until exit
}

// Appends each call's microseconds to DIR/native-<method>-<heap>.samples, and the CPU time and
// context switches per launch to ....usage.
bool appendResults(const std::string& prefix, const Method& method) {
    std::ofstream samples(prefix + ".samples", std::ios::app);
    for (double sample : method.microseconds) samples << sample << '\n';
    auto launches = static_cast<double>(method.microseconds.size());
    std::ofstream usage(prefix + ".usage", std::ios::app);
    usage << method.timedUsage.cpuMicroseconds / launches << ' '
          << static_cast<double>(method.timedUsage.switches) / launches << '\n';
    return samples.flush() && usage.flush();
}

int usage() {
    std::fprintf(stderr,
                 "usage: launch_cost [--calls N] [--fork-calls N] [--touch MiB] [--out DIR] "
                 "[--only library|posix_spawn|fork_exec] [program]\n       launch_cost reap "
                 "--expect N -- command [argument...]\n");
    return 2;
}

// The collector: reaps every process that comes back to it and hands each but the measuring
// process back through `out`; returns once the measuring process has exited, with its code.
int collectPrograms(pid_t measuring, int out) {
    for (;;) {
        int status = 0;
        rusage used{};
        pid_t pid = wait4(-1, &status, 0, &used);
        if (pid < 0 && errno == EINTR) continue;
        if (pid < 0) return 1;
        if (pid == measuring) return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
        Reaped reaped{WIFEXITED(status) && WEXITSTATUS(status) == 0, {}};
        reaped.usage.add(used);
        if (write(out, &reaped, sizeof reaped) != sizeof reaped) return 1;
    }
}

int measure(int argc, char** argv) {
    int calls = 1000;
    int forkCalls = -1;
    std::size_t touchMebibytes = 0;
    std::string out;
    std::string only;  // one method alone, to trace it
    std::string program = "/bin/true";
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        bool hasValue = i + 1 < argc;
        if (option == "--calls" && hasValue) {
            calls = std::atoi(argv[++i]);
        } else if (option == "--fork-calls" && hasValue) {
            forkCalls = std::atoi(argv[++i]);
        } else if (option == "--touch" && hasValue) {
            touchMebibytes = std::strtoul(argv[++i], nullptr, 10);
        } else if (option == "--out" && hasValue) {
            out = argv[++i];
        } else if (option == "--only" && hasValue) {
            only = argv[++i];
        } else if (option.starts_with("-") || i + 1 != argc) {
            return usage();
        } else {
            program = option;
        }
    }
    if (forkCalls < 0) forkCalls = calls;
    if (calls < 1 || calls > 100000 || forkCalls < 1 || forkCalls > 100000) return usage();

    // The echo would measure the terminal, not the launch; no child should read ours either.
    if (!std::freopen("/dev/null", "w", stdout) || !std::freopen("/dev/null", "r", stdin)) {
        return 1;
    }
    std::vector<Method> methods = {{"library", launchWithLibrary, calls, false, {}, {}},
                                   {"posix_spawn", launchWithPosixSpawn, calls, true, {}, {}},
                                   {"fork_exec", launchWithForkExec, forkCalls, true, {}, {}}};
    if (!only.empty()) {
        std::erase_if(methods, [&](const Method& method) { return method.name != only; });
        if (methods.empty()) return usage();
    }
    int collected[2];
    if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0 || pipe(collected) != 0) {
        std::perror("launch_cost");
        return 1;
    }
    pid_t measuring = fork();
    if (measuring < 0) return 1;
    if (measuring > 0) {
        close(collected[0]);
        return collectPrograms(measuring, collected[1]);
    }
    close(collected[1]);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (!touchHeap(touchMebibytes)) {
        std::perror("launch_cost");
        return 1;
    }
    Children children(collected[0]);
    // Untimed first, so that the program and the code on every path are in memory.
    for (Method& method : methods) {
        runCalls(method, program, std::max(1, method.calls / 10), children, false);
    }
    for (int block = 0; block < kBlocks; ++block) {
        for (Method& method : methods) {
            int share = method.calls * (block + 1) / kBlocks - method.calls * block / kBlocks;
            runCalls(method, program, share, children, true);
        }
    }

    const char* heap = touchMebibytes == 0 ? "small" : "large";
    bool written = true;
    for (const Method& method : methods) {
        auto launches = static_cast<double>(method.microseconds.size());
        std::fprintf(stderr,
                     "%s heap %zu MiB: %-11s median %7.1f us, p99 %7.1f us (%zu calls); per "
                     "launch: %.0f us of CPU, %.1f context switches\n",
                     heap, touchMebibytes, method.name, percentile(method.microseconds, 0.5),
                     percentile(method.microseconds, 0.99), method.microseconds.size(),
                     method.timedUsage.cpuMicroseconds / launches,
                     static_cast<double>(method.timedUsage.switches) / launches);
        if (!out.empty()) {
            written = appendResults(out + "/native-" + method.name + "-" + heap, method) && written;
        }
    }
    if (children.failures() != 0) {
        std::fprintf(stderr, "launch_cost: %d launches of %s did not exit with 0\n",
                     children.failures(), program.c_str());
    }
    return children.failures() == 0 && written ? 0 : 1;
}

// How long the programs may outlive the command before they are killed.
constexpr unsigned kStragglerSeconds = 10;
volatile sig_atomic_t stragglerDeadlinePassed = 0;

// Kills and reaps the children still running: this process has one thread, so its task's list
// is all of them.
int killStragglers() {
    std::ifstream list("/proc/self/task/" + std::to_string(getpid()) + "/children");
    int killed = 0;
    for (pid_t pid = 0; list >> pid; ++killed) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    return killed;
}

int reap(int argc, char** argv) {
    if (argc < 5 || std::strcmp(argv[2], "--expect") != 0 || std::strcmp(argv[4], "--") != 0 ||
        argc == 5) {
        return usage();
    }
    long expected = std::atol(argv[3]);
    if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) {
        std::perror("launch_cost reap");
        return 1;
    }
    pid_t command = fork();
    if (command == 0) {
        execvp(argv[5], argv + 5);
        std::perror(argv[5]);
        _exit(127);
    }
    struct sigaction onAlarm {};
    onAlarm.sa_handler = [](int) { stragglerDeadlinePassed = 1; };  // no SA_RESTART
    sigaction(SIGALRM, &onAlarm, nullptr);

    int commandStatus = -1;
    long succeeded = 0;
    long failed = 0;
    while (!stragglerDeadlinePassed) {
        int status = 0;
        pid_t pid = waitpid(-1, &status, 0);
        if (pid < 0 && errno == EINTR) continue;
        if (pid < 0) break;  // nothing left
        if (pid == command) {
            commandStatus = status;
            alarm(kStragglerSeconds);
        } else {
            ++(WIFEXITED(status) && WEXITSTATUS(status) == 0 ? succeeded : failed);
        }
    }
    int stragglers = stragglerDeadlinePassed ? killStragglers() : 0;
    bool ok = commandStatus == 0 && succeeded == expected && failed == 0 && stragglers == 0;
    if (!ok) {
        bool signaled = WIFSIGNALED(commandStatus);
        std::fprintf(stderr,
                     "launch_cost reap: %s %s %d; programs: %ld exited with 0 (expected %ld), "
                     "%ld failed, %d killed after %u s\n",
                     argv[5], signaled ? "was killed by signal" : "exited with",
                     signaled ? WTERMSIG(commandStatus) : WEXITSTATUS(commandStatus), succeeded,
                     expected, failed, stragglers, kStragglerSeconds);
    }
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "reap") == 0) return reap(argc, argv);
    return measure(argc, argv);
}
