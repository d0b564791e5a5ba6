// The guarded stacks the processes in the caller's memory run on: a guard page below each, and
// mappings kept for the next launch. Each that changes the caller for good runs in a caller
// forked off the test.
#include <pthread.h>
#include <sys/resource.h>

#include <cerrno>
#include <cstring>
#include <iterator>
#include <utility>

#include "launch_harness.h"

namespace {

std::uintptr_t hexAddress(const std::string& text) {
    return static_cast<std::uintptr_t>(std::stoull(text, nullptr, 16));
}

// The mapping that holds a process's stack pointer, and whether an inaccessible page lies right
// below it; empty when all is well, else what was found.
std::string stackWithoutGuard(pid_t pid) {
    std::ifstream syscallFile("/proc/" + std::to_string(pid) + "/syscall");
    std::vector<std::string> fields{std::istream_iterator<std::string>(syscallFile), {}};
    if (fields.size() < 3) return "no stack pointer for " + std::to_string(pid);
    std::uintptr_t sp = hexAddress(fields[fields.size() - 2]);
    std::ifstream maps("/proc/self/maps");
    std::uintptr_t previousEnd = 0;
    std::string previousPermissions;
    for (std::string line; std::getline(maps, line);) {
        std::uintptr_t start = hexAddress(line);
        std::uintptr_t end = hexAddress(line.substr(line.find('-') + 1));
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
TEST(GuardedStacks, BothStacksHaveAGuardPageBelowThem) {
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
TEST(GuardedStacks, StackMappingsAreReusedNotUnmapped) {
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

}  // namespace
