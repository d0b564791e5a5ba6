// What the launcher plans around a launch: texts and argument lists at the system's limits, a
// cleared environment, a pending cancellation. Each that changes the caller for good runs in a
// caller forked off the test.
#include <pthread.h>
#include <sys/resource.h>

#include <cerrno>
#include <cstring>
#include <iterator>
#include <utility>

#include "launch_harness.h"

namespace {

// A cancellation already pending when the call starts waits until the call is done: acting
// inside it would unwind through the library and end the whole process.
TEST(LaunchPlan, APendingCancellationActsOnlyAfterTheLaunch) {
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
TEST(LaunchPlan, AHugeTextIsRefusedAsTooLongWithinLittleMemory) {
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
TEST(LaunchPlan, AClearedEnvironmentIsAnEmptyOne) {
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
TEST(LaunchPlan, AnArgumentListExactlyAtTheKernelsLimitIsTaken) {
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
