// What the launcher tests share: a scratch directory, the probe's reports, the caller's
// output captured around a launch, and the caller's children as /proc lists them.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "launcher.h"

namespace fs = std::filesystem;

// A fresh directory under /tmp, removed with everything in it.
class ScratchDirectory {
  public:
    ScratchDirectory() {
        std::string pattern = (fs::temp_directory_path() / "startutil-XXXXXX").string();
        path_ = mkdtemp(pattern.data());
    }
    ~ScratchDirectory() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;
    const fs::path& path() const { return path_; }

  private:
    fs::path path_;
};

// Sets an environment variable for one scope and puts the old value back.
class ScopedEnvironment {
  public:
    ScopedEnvironment(const char* name, const std::string& value) : name_(name) {
        const char* old = std::getenv(name);
        if (old != nullptr) old_ = old;
        hadValue_ = old != nullptr;
        setenv(name, value.c_str(), 1);
    }
    ~ScopedEnvironment() {
        if (hadValue_) {
            setenv(name_, old_.c_str(), 1);
        } else {
            unsetenv(name_);
        }
    }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

  private:
    const char* name_;
    std::string old_;
    bool hadValue_;
};

inline std::string probePath() {
    return STARTUTIL_PROBE;
}

inline void copyProbe(const fs::path& to) {
    fs::copy_file(probePath(), to, fs::copy_options::overwrite_existing);
    fs::permissions(to, fs::perms::owner_all);
}

// One probe report: key to value, the %XX escapes undone.
using ProbeReport = std::map<std::string, std::string>;

inline std::string unescape(const std::string& value) {
    std::string out;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '%' && i + 2 < value.size()) {
            out += static_cast<char>(std::stoi(value.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += value[i];
        }
    }
    return out;
}

inline ProbeReport readReport(const fs::path& file) {
    ProbeReport report;
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);) {
        std::size_t equals = line.find('=');
        report[line.substr(0, equals)] = unescape(line.substr(equals + 1));
    }
    return report;
}

inline std::vector<fs::path> reportFiles(const fs::path& directory) {
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(directory)) {
        if (entry.path().extension() == ".report") files.push_back(entry.path());
    }
    return files;
}

// Polls until `count` reports are there or ten seconds have gone by; returns what is there.
inline std::vector<ProbeReport> awaitReports(const fs::path& directory, std::size_t count) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    std::vector<fs::path> files = reportFiles(directory);
    while (files.size() < count && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        files = reportFiles(directory);
    }
    std::vector<ProbeReport> reports;
    for (const auto& file : files) reports.push_back(readReport(file));
    return reports;
}

// The descriptors a probe reported, as "n=target" in ascending order.
inline std::vector<std::string> reportedDescriptors(const ProbeReport& report) {
    std::vector<std::string> fds;
    for (const auto& [key, value] : report) {
        if (key.rfind("fd.", 0) == 0) fds.push_back(key.substr(3) + "=" + value);
    }
    return fds;
}

struct ProcessState {
    pid_t pid;
    char state;
};

// This process's children, zombies included, as /proc lists them.
inline std::vector<ProcessState> childrenOfThisProcess() {
    std::vector<ProcessState> children;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::ifstream stat(entry.path() / "stat");
        std::string text((std::istreambuf_iterator<char>(stat)), {});
        std::size_t close = text.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream fields(text.substr(close + 2));
        char state = '?';
        pid_t ppid = 0;
        fields >> state >> ppid;
        if (ppid == getpid()) children.push_back({std::stoi(name), state});
    }
    return children;
}

inline std::size_t openDescriptorCount() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) ++count;
    return count;
}

// Standard output and error of this process, sent to files for one scope.
class CapturedOutput {
  public:
    explicit CapturedOutput(const fs::path& directory)
        : out_(directory / "stdout"), err_(directory / "stderr") {
        std::fflush(nullptr);
        savedOut_ = dup(1);
        savedErr_ = dup(2);
        redirect(out_, 1);
        redirect(err_, 2);
    }
    ~CapturedOutput() { restore(); }
    CapturedOutput(const CapturedOutput&) = delete;
    CapturedOutput& operator=(const CapturedOutput&) = delete;

    // Ends the capture; then stdout() and stderr() hold everything written.
    void restore() {
        if (savedOut_ < 0) return;
        std::fflush(nullptr);
        dup2(savedOut_, 1);
        dup2(savedErr_, 2);
        close(savedOut_);
        close(savedErr_);
        savedOut_ = savedErr_ = -1;
    }
    std::string stdoutText() const { return contents(out_); }
    std::string stderrText() const { return contents(err_); }

  private:
    static void redirect(const fs::path& file, int fd) {
        int opened = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        dup2(opened, fd);
        close(opened);
    }
    static std::string contents(const fs::path& file) {
        std::ifstream in(file, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), {});
    }
    fs::path out_, err_;
    int savedOut_ = -1, savedErr_ = -1;
};

inline std::u16string widen(const std::string& ascii) {
    return std::u16string(ascii.begin(), ascii.end());
}

// A writable copy, as the bindings hand it over.
inline void launch(LaunchMode mode, std::u16string text) {
    invokeNonBlocking(mode, text.data());
}
