// The JNI side of libStartUtil.so, loaded as the VM loads it and called through a fake JNIEnv
// whose strings sit unterminated in read-only memory: what it refuses before any launch.
#include <sys/prctl.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

#include "fake_vm.h"
#include "launch_harness.h"

namespace {

class Bindings : public ::testing::Test {
  protected:
    // What one call wrote to standard output and standard error.
    std::pair<std::string, std::string> call(NativeMethod method, jstring string) {
        return callWith(vm, method, string);
    }
    std::pair<std::string, std::string> callWith(FakeVm& with, NativeMethod method,
                                                 jstring string) {
        CapturedOutput output(scratch_.path());
        method(with.env(), nullptr, string);
        output.restore();
        EXPECT_EQ(with.jni().pending, 0) << "an exception was left pending";
        return {output.stdoutText(), output.stderrText()};
    }

    ScratchDirectory scratch_;
    StartUtilModule module;
    FakeVm vm;
};

// A text holding U+0000 starts nothing, though the part before it names a program: exec would
// see only that part, not what the caller may have checked. The echo shows that part. A launch
// of the same program afterwards is the only one that reports.
TEST_F(Bindings, TextWithANulStartsNothing) {
    fs::path reports = scratch_.path() / "reports";
    fs::create_directory(reports);
    ScopedEnvironment reportDirectory("STARTUTIL_PROBE_DIR", reports);
    std::string probe = probePath();
    struct Case {
        NativeMethod method;
        std::string before;
    } cases[] = {
        {module.programPath, probe},
        {module.commandLine, probe + " kept"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.before);
        FakeString string(widen(c.before) + std::u16string(1, u'\0') + u" dropped");
        auto [out, err] = call(c.method, string.handle());
        EXPECT_EQ(out, c.before);
        EXPECT_EQ(err, "StartUtil: cannot start \"" + c.before +
                           "\xE2\x90\x80 dropped\": the text holds a NUL character (error " +
                           std::to_string(EINVAL) + ")\n");
        EXPECT_EQ(string.gets, 1);
        EXPECT_EQ(string.releases, 1);
        EXPECT_EQ(string.foreignReleases, 0);
    }
    FakeString marker(widen(probe));
    EXPECT_EQ(call(module.programPath, marker.handle()).second, "");
    std::vector<ProbeReport> started = awaitReports(reports, 1);
    ASSERT_EQ(started.size(), 1u);
    EXPECT_EQ(started[0].count("argv.1"), 0u);
}

// A null string is no command; a VM that hands out no characters is out of memory, and the line
// gives the string's length. Neither echoes anything, and nothing is released that was not
// handed out.
TEST_F(Bindings, NullStringIsNoCommandAndAStringWithoutCharsIsOutOfMemory) {
    for (NativeMethod method : {module.programPath, module.commandLine}) {
        FakeString noChars(u"/never/started", true);
        auto [nullOut, nullErr] = call(method, nullptr);
        auto [noneOut, noneErr] = call(method, noChars.handle());
        EXPECT_EQ(nullOut, "");
        EXPECT_EQ(nullErr,
                  "StartUtil: cannot start (no command): " + std::string(strerror(EINVAL)) +
                      " (error " + std::to_string(EINVAL) + ")\n");
        EXPECT_EQ(noneOut, "");
        EXPECT_EQ(noneErr, "StartUtil: cannot start (a command of 14 characters): " +
                               std::string(strerror(ENOMEM)) + " (error " + std::to_string(ENOMEM) +
                               ")\n");
        EXPECT_EQ(noChars.gets, 1);
        EXPECT_EQ(noChars.releases, 0);
    }
}

// The jar's own class asks for the outcome: nothing is written, the pid is that of the process
// that runs the program, and a failure comes back as its one line and errno. The same class not
// asking, and a class that declares the natives alone, get the echo and the line as before.
TEST_F(Bindings, TheOutcomeGoesToTheClassThatAsksAndNothingIsWritten) {
    fs::path reports = scratch_.path() / "reports";
    fs::create_directory(reports);
    ScopedEnvironment reportDirectory("STARTUTIL_PROBE_DIR", reports);
    std::string probe = probePath();
    FakeVm jar(true);
    jar.jni().quiet = JNI_TRUE;

    FakeString program(widen(probe + " one"));
    EXPECT_EQ(callWith(jar, module.commandLine, program.handle()),
              std::make_pair(std::string(), std::string()));
    EXPECT_EQ(jar.jni().outcomes, 1);
    EXPECT_EQ(jar.jni().lineSize, -1);
    EXPECT_EQ(jar.jni().code, 0);
    std::vector<ProbeReport> started = awaitReports(reports, 1);
    ASSERT_EQ(started.size(), 1u);
    EXPECT_EQ(started[0].at("pid"), std::to_string(jar.jni().pid));
    EXPECT_EQ(started[0].at("argv.1"), "one");

    FakeString missing(u"/startutil/nowhere");
    EXPECT_EQ(callWith(jar, module.programPath, missing.handle()),
              std::make_pair(std::string(), std::string()));
    EXPECT_EQ(jar.jni().outcomes, 2);
    EXPECT_EQ(jar.jni().pid, 0);
    EXPECT_EQ(jar.jni().code, ENOENT);
    std::string line =
        "StartUtil: cannot start \"/startutil/nowhere\": " + std::string(strerror(ENOENT)) +
        " (error " + std::to_string(ENOENT) + ")";
    EXPECT_EQ(jar.failureLine(), line);

    FakeVm notAsking(true);
    FakeVm dropIn(false);
    for (FakeVm* writer : {&notAsking, &dropIn}) {
        EXPECT_EQ(callWith(*writer, module.programPath, missing.handle()),
                  std::make_pair(std::string("/startutil/nowhere"), line + "\n"));
        EXPECT_EQ(writer->jni().outcomes, 0);
    }
    EXPECT_EQ(dropIn.jni().lookups, 1) << "a class without the methods is asked once per call";
    EXPECT_EQ(awaitReports(reports, 1).size(), 1u);
}

// The library keeps the guarded stacks of its launches for later ones, and gives them back when
// it is unloaded, as a VM unloads it on every redeploy of a web application: loading, launching
// and unloading again and again leaves no mapping behind.
TEST(BindingsUnload, UnloadingGivesTheKeptStacksBack) {
    constexpr int kCycles = 20;
    auto mappings = [] {
        std::string maps = readFile("/proc/self/maps");
        return std::count(maps.begin(), maps.end(), '\n');
    };
    ScratchDirectory scratch;
    ScopedEnvironment reportDirectory("STARTUTIL_PROBE_DIR", scratch.path());
    std::ptrdiff_t before = 0;
    for (int i = 0; i <= kCycles; ++i) {
        StartUtilModule module;
        FakeVm vm;
        FakeString program(widen(probePath()));
        CapturedOutput output(scratch.path());
        module.programPath(vm.env(), nullptr, program.handle());
        if (i == 0) before = mappings();  // once the first load has settled the C library's own
    }
    EXPECT_LT(mappings(), before + kCycles) << readFile("/proc/self/maps");
    EXPECT_EQ(awaitReports(scratch.path(), kCycles + 1).size(), std::size_t{kCycles + 1});
}

// A caller that adopts orphans has a reaping thread while the library is loaded, and loses it
// when the library is unloaded: no thread runs the library's code once it is gone. A program
// still running then is left to the caller. Exit codes: 3, no reaping thread; 4, it outlived
// the library; 5, the program was reaped after the unload.
TEST(BindingsUnload, UnloadingStopsTheReapingThread) {
    ScratchDirectory scratch;
    int exitCode = inForkedCaller(scratch, [] {
        prctl(PR_SET_CHILD_SUBREAPER, 1);
        auto threadsAre = [](std::size_t count) {
            auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            for (;;) {
                auto tasks = fs::directory_iterator("/proc/self/task");
                if (static_cast<std::size_t>(std::distance(begin(tasks), end(tasks))) == count) {
                    return true;
                }
                if (std::chrono::steady_clock::now() > deadline) return false;
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        };
        for (int cycle = 0; cycle < 3; ++cycle) {
            {
                StartUtilModule module;
                FakeVm vm;
                FakeString program(widen("sleep 30"));
                module.commandLine(vm.env(), nullptr, program.handle());
                if (!threadsAre(2)) return 3;
            }
            if (!threadsAre(1)) return 4;
            std::vector<ProcessState> children = childrenOfThisProcess();
            if (children.size() != 1) return 5;
            kill(children[0].pid, SIGKILL);
            if (waitpid(children[0].pid, nullptr, 0) != children[0].pid) return 5;
        }
        return 0;
    });
    EXPECT_EQ(exitCode, 0);
}

}  // namespace
