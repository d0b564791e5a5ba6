// What one launch costs the caller, against a bare posix_spawn of the same program. Both loops
// leave their children running while they go on; posix_spawn's children are reaped afterwards,
// outside the timing, since the caller must reap them while ours are nobody's to reap.
//
//   launch_cost [launches] [program]      (defaults: 300, /bin/true)
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "launcher.h"

extern "C" char** environ;

namespace {

using Clock = std::chrono::steady_clock;

double microseconds(Clock::duration elapsed, int launches) {
    return std::chrono::duration<double, std::micro>(elapsed).count() / launches;
}

double invokeNonBlockingCost(const std::string& program, int launches) {
    std::u16string text(program.begin(), program.end());
    auto start = Clock::now();
    for (int i = 0; i < launches; ++i) {
        std::u16string copy = text;  // the bindings' private copy
        invokeNonBlocking(LaunchMode::ProgramPath, copy.data());
    }
    return microseconds(Clock::now() - start, launches);
}

double posixSpawnCost(const std::string& program, int launches) {
    std::vector<pid_t> children;
    children.reserve(static_cast<std::size_t>(launches));
    std::string path = program;
    char* argv[] = {path.data(), nullptr};
    auto start = Clock::now();
    for (int i = 0; i < launches; ++i) {
        pid_t pid = 0;
        if (posix_spawn(&pid, path.c_str(), nullptr, nullptr, argv, environ) == 0) {
            children.push_back(pid);
        }
    }
    double cost = microseconds(Clock::now() - start, launches);
    for (pid_t child : children) waitpid(child, nullptr, 0);
    return cost;
}

}  // namespace

int main(int argc, char** argv) {
    int launches = argc > 1 ? std::atoi(argv[1]) : 300;
    std::string program = argc > 2 ? argv[2] : "/bin/true";
    if (launches <= 0 || launches > 100000) {
        std::fprintf(stderr, "usage: launch_cost [launches 1..100000] [program]\n");
        return 2;
    }
    // The echo would measure the terminal, not the launch.
    if (std::freopen("/dev/null", "w", stdout) == nullptr) return 1;
    for (int round = 1; round <= 3; ++round) {
        double ours = invokeNonBlockingCost(program, launches);
        double spawn = posixSpawnCost(program, launches);
        std::fprintf(stderr,
                     "round %d: invokeNonBlocking %.0f us, posix_spawn %.0f us, ratio %.2f\n",
                     round, ours, spawn, ours / spawn);
    }
}
