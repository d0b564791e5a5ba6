// Where one launch's time goes: the launcher's sources built with STARTUTIL_STEP_TIMING, so that
// each of its step marks (StartUtil/step_marks.h) reads the clock, /bin/true launched again and
// again, and the median of each step printed as Markdown table rows, with the whole call and a
// bare posix_spawn beside.
//
//   step_timing CALLS PROGRAM     prints the rows on standard error
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "launcher.h"
#include "step_marks.h"

extern "C" char** environ;
namespace {

// Written at the launcher's marks, in the caller and in its children, which share its memory.
long long stepStamps[12];

long long now() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1'000'000'000LL + t.tv_nsec;
}

double medianMicroseconds(std::vector<long long> values) {
    std::sort(values.begin(), values.end());
    return static_cast<double>(values[values.size() / 2]) / 1000.0;
}

void reapAll() {
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
}

}  // namespace

void stepTimingMark(int step) noexcept {
    stepStamps[step] = now();
}

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: step_timing CALLS PROGRAM\n");
        return 2;
    }
    int calls = std::atoi(argv[1]);
    if (calls < 1) return 2;
    std::string program = argv[2];
    // The programs come back to us once their intermediate is gone, to be reaped outside the
    // timing.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    if (std::freopen("/dev/null", "w", stdout) == nullptr) return 1;
    const char* steps[] = {
        "the text's UTF-8 form and its echo",
        "the plan: argv, PATH, the stacks",
        "",
        "clone until the intermediate runs",
        "core-dumping signals caught (10 rt_sigaction) and unblocked, the rest back to default",
        "descriptors: close_range, /dev/null as 0 to 2",
        "clone until the program's process runs",
        "setsid, mask emptied",
        "execve, until the intermediate has exited and the caller runs",
        "reaping the intermediate",
        "the plan released",
    };
    std::vector<std::vector<long long>> spans(std::size(steps));
    std::vector<long long> library, spawned;
    std::u16string text(program.begin(), program.end());
    char* spawnArgv[] = {program.data(), nullptr};
    for (int call = 0; call < calls; ++call) {
        long long start = now();
        invokeNonBlocking(LaunchMode::ProgramPath, text.data());
        library.push_back(now() - start);
        for (std::size_t i = 0; i < std::size(steps); ++i) {
            spans[i].push_back(stepStamps[i + 1] - stepStamps[i]);
        }
        reapAll();
        pid_t child = 0;
        start = now();
        if (posix_spawn(&child, program.c_str(), nullptr, nullptr, spawnArgv, environ) != 0)
            return 1;
        spawned.push_back(now() - start);
        waitpid(child, nullptr, 0);
        reapAll();
    }
    std::fprintf(stderr, "| the whole call | %.1f |\n", medianMicroseconds(library));
    for (std::size_t i = 0; i < std::size(steps); ++i) {
        if (steps[i][0] != '\0')
            std::fprintf(stderr, "| %s | %.1f |\n", steps[i], medianMicroseconds(spans[i]));
    }
    std::fprintf(stderr, "| a bare posix_spawn, for comparison | %.1f |\n",
                 medianMicroseconds(spawned));
    return 0;
}
