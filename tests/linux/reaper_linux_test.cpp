// A caller that adopts orphans (a JVM that is a container's process 1, or a child subreaper) has
// the programs it starts reaped once they exit, and only those: its other children keep their
// exit status for their own waiters.
#include <gtest/gtest.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <chrono>
#include <thread>

#include "launch_harness.h"

namespace {

// Polls until this process has no child but `kept`, zombie or not; false at the deadline.
bool onlyChildLeft(pid_t kept, std::chrono::seconds within) {
    auto deadline = std::chrono::steady_clock::now() + within;
    for (;;) {
        std::vector<ProcessState> children = childrenOfThisProcess();
        if (children.size() == 1 && children[0].pid == kept) return true;
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// Exit codes of the forked caller: 3, a program was left a zombie; 4, the caller's own child lost
// its status; 2, the seccomp filter could not be set.
TEST(AdoptedPrograms, ASubreaperHasItsProgramsReapedAndNoOtherChild) {
    struct Case {
        const char* name;
        bool withoutPidfds;  // a kernel before 5.3: each program is looked at every second
    };
    for (Case c : {Case{"pidfds", false}, Case{"no pidfd_open", true}}) {
        SCOPED_TRACE(c.name);
        ScratchDirectory scratch;
        int exitCode = inForkedCaller(scratch, [&c] {
            prctl(PR_SET_CHILD_SUBREAPER, 1);
            if (c.withoutPidfds &&
                filterSystemCall(SYS_pidfd_open, SECCOMP_RET_ERRNO | ENOSYS) != 0) {
                return 2;
            }
            pid_t own = fork();
            if (own == 0) _exit(7);
            for (int i = 0; i < 20; ++i) launch(LaunchMode::ProgramPath, widen("/bin/true"));
            if (!onlyChildLeft(own, std::chrono::seconds(20))) return 3;
            int status = 0;
            bool kept =
                waitpid(own, &status, 0) == own && WIFEXITED(status) && WEXITSTATUS(status) == 7;
            return kept ? 0 : 4;
        });
        EXPECT_EQ(exitCode, 0) << "3: a program was left a zombie; 4: another child was reaped";
        EXPECT_EQ(readFile(scratch.path() / "stderr"), "");
    }
}

}  // namespace
