// musl_host LIBRARY PROBE: a musl process that loads libStartUtil.so as a JVM on a musl system
// would (Debian has no musl JVM; this stands in for one) and calls both entry points through a
// minimal JNIEnv. Each launch runs in a forked caller, so that a crash in the library is one
// failed check and not the end of the run. Prints one line per check, then "N passed, N failed".
#define _GNU_SOURCE
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <jni.h>
#include <limits.h>
#include <linux/filter.h>
#include <linux/ioctl.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdatomic.h>
#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "fake_jni.h"
#include "probe_report.h"

typedef void(JNICALL* EntryPoint)(JNIEnv*, jclass, jstring);

enum { kProgramPath, kCommandLine };
static const char* const kEntryNames[] = {"invokeNonBlockingCommand",
                                          "invokeNonBlockingCommandWithArgs"};
static EntryPoint entries[2];
enum { kWhySize = 1024 };  // room for what a failed check says
static const char* probe;
static int passed, failed;

static long long nowMs(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

static void pauseMs(long ms) {
    struct timespec pause = {0, ms * 1000000L};
    nanosleep(&pause, NULL);
}

static long long lastCheckMs;  // when the previous check ended

// One line per check, with the time it took; control characters in why show as in a report.
static void check(bool ok, const char* what, const char* why) {
    long long now = nowMs();
    ++*(ok ? &passed : &failed);
    printf("%s: %s%s", ok ? "ok" : "FAILED", what, ok ? "" : ": ");
    for (const char* c = why; !ok && *c != '\0'; ++c) {
        char shown[3];
        fwrite(shown, 1, probeReportPutByte(shown, (unsigned char)*c), stdout);
    }
    printf(" (%lld ms)\n", now - lastCheckMs);
    lastCheckMs = now;
    fflush(stdout);
}

// Calls one entry point with an ASCII text, as a class that declares the two natives alone;
// says whether every character handed out came back and no exception was left pending.
static bool callEntry(int entry, const char* text) {
    struct FakeJni fake = {0};
    fakeJniInit(&fake);
    size_t length = strlen(text);
    jchar* units = malloc(length * sizeof(jchar) + 1);
    if (units == NULL) return false;
    for (size_t i = 0; i < length; ++i) units[i] = (unsigned char)text[i];
    struct FakeJniString string = {units, (jsize)length, 0, 0};
    entries[entry]((JNIEnv*)(void*)&fake, NULL, (jstring)(void*)&string);
    free(units);
    return string.gets == 1 && string.releases == 1 && !fake.pending;
}

// ---- Scratch directories, the caller's captured output and the probe's reports.

// A fresh directory, which the probe reports into.
static void makeScratch(char* dir) {
    strcpy(dir, "/tmp/startutil-musl-XXXXXX");
    if (mkdtemp(dir) == NULL || setenv("STARTUTIL_PROBE_DIR", dir, 1) != 0) {
        perror("mkdtemp");
        exit(2);
    }
}

static void removeScratch(const char* dir) {
    DIR* listing = opendir(dir);
    if (listing == NULL) return;
    for (struct dirent* entry; (entry = readdir(listing)) != NULL;) {
        if (entry->d_name[0] != '.') unlinkat(dirfd(listing), entry->d_name, 0);
    }
    closedir(listing);
    rmdir(dir);
}

// The file's text, cut to fit size bytes with its NUL; false if it cannot be read.
static bool readText(const char* dir, const char* name, char* text, size_t size) {
    char path[PATH_MAX];
    snprintf(path, sizeof path, "%s/%s", dir, name);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    ssize_t length = fd < 0 ? -1 : read(fd, text, size - 1);
    if (fd >= 0) close(fd);
    text[length < 0 ? 0 : length] = '\0';
    return length >= 0;
}

// The name of the first file in dir whose name ends in suffix, or false if there is none yet.
static bool findFile(const char* dir, const char* suffix, char* name, size_t size) {
    DIR* listing = opendir(dir);
    bool found = false;
    for (struct dirent* entry; listing != NULL && !found && (entry = readdir(listing)) != NULL;) {
        size_t length = strlen(entry->d_name), suffixLength = strlen(suffix);
        found =
            length >= suffixLength && strcmp(entry->d_name + length - suffixLength, suffix) == 0;
        if (found) snprintf(name, size, "%s", entry->d_name);
    }
    if (listing != NULL) closedir(listing);
    return found;
}

// Polls for such a file (the probe's report: ".report") until the deadline; false if none came.
static bool awaitFile(const char* dir, const char* suffix, long limitMs, char* text, size_t size) {
    char name[NAME_MAX + 1];
    for (long long deadline = nowMs() + limitMs; !findFile(dir, suffix, name, sizeof name);) {
        if (nowMs() > deadline) return false;
        pauseMs(5);
    }
    return readText(dir, name, text, size);
}

// True, with the difference in why, when the report's key holds something else than expected.
static bool differs(const struct ProbeReportFields* report, const char* key, const char* expected,
                    char* why) {
    const char* value = probeReportValue(report, key);
    if (value != NULL && strcmp(value, expected) == 0) return false;
    snprintf(why, kWhySize, "%s is \"%s\", not \"%s\"", key, value == NULL ? "(none)" : value,
             expected);
    return true;
}

// ---- Forked callers.

// Waits for pid until the deadline, then kills it; its wait status, or -1 if it was killed.
static int awaitExit(pid_t pid, long limitMs) {
    long long deadline = nowMs() + limitMs;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (nowMs() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        pauseMs(2);
    }
    return status;
}

// Runs body in a forked caller whose standard output and error go to dir/out and dir/err.
static int inCaller(const char* dir, int (*body)(void*), void* argument, pid_t* callerPid) {
    char out[PATH_MAX], err[PATH_MAX];
    snprintf(out, sizeof out, "%s/out", dir);
    snprintf(err, sizeof err, "%s/err", dir);
    fflush(NULL);
    pid_t caller = fork();
    if (caller == 0) {
        int outFd = open(out, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        int errFd = open(err, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        dup2(outFd, 1);
        dup2(errFd, 2);
        close(outFd);
        close(errFd);
        _exit(body(argument));
    }
    if (callerPid != NULL) *callerPid = caller;
    return caller < 0 ? -1 : awaitExit(caller, 60000);
}

static bool describeStatus(int status, char* why) {
    if (status == -1) {
        strcpy(why, "the caller did not end within 60 s");
    } else if (WIFSIGNALED(status)) {
        snprintf(why, kWhySize, "the caller was killed by signal %d (%s)", WTERMSIG(status),
                 strsignal(WTERMSIG(status)));
    } else if (WEXITSTATUS(status) != 0) {
        snprintf(why, kWhySize, "the caller exited with %d", WEXITSTATUS(status));
    }
    return status != 0;
}

struct Launch {
    int entry;
    const char* text;
};

// One call; then the intermediate must have been reaped: the caller has no child left.
static int launchBody(void* argument) {
    const struct Launch* launch = argument;
    bool balanced = callEntry(launch->entry, launch->text);
    if (waitpid(-1, NULL, WNOHANG) != -1 || errno != ECHILD) return 5;
    return balanced ? 0 : 6;
}

// ---- The checks.

// Whether the probe's report shows its program run detached: a session of its own, not the
// caller's child, standard streams on /dev/null and nothing else open, its arguments as given.
static bool detached(char* text, int entry, pid_t caller, char* why) {
    struct ProbeReportFields report;
    if (!probeReportParse(text, &report)) {
        snprintf(why, kWhySize, "the probe's report is malformed or over %d lines long",
                 PROBE_REPORT_MOST_FIELDS);
        return false;
    }
    const char* pid = probeReportValue(&report, "pid");
    const char* parent = probeReportValue(&report, "ppid");
    if (differs(&report, "sid", pid == NULL ? "" : pid, why) ||
        differs(&report, "pgid", pid == NULL ? "" : pid, why)) {
        return false;
    }
    if (parent == NULL || atoi(parent) == caller) {
        snprintf(why, kWhySize, "the program's parent is the caller (%s)",
                 parent == NULL ? "none" : parent);
        return false;
    }
    if (differs(&report, "fd.0", "/dev/null", why) || differs(&report, "fd.1", "/dev/null", why) ||
        differs(&report, "fd.2", "/dev/null", why)) {
        return false;
    }
    for (int i = 0; i < report.count; ++i) {
        const char* key = report.fields[i].key;
        if (strncmp(key, "fd.", 3) == 0 && atoi(key + 3) > 2) {
            snprintf(why, kWhySize, "more than descriptors 0 to 2 open: %s=%s", key,
                     report.fields[i].value);
            return false;
        }
    }
    if (entry == kProgramPath) {
        return !differs(&report, "argc", "1", why) && !differs(&report, "argv.0", probe, why);
    }
    return !differs(&report, "argc", "3", why) && !differs(&report, "argv.1", "one", why) &&
           !differs(&report, "argv.2", "two words", why);
}

// Both entry points start the probe detached, the caller is left without a child and the call
// says nothing on standard error.
static void checkDetached(int entry) {
    char dir[64], text[PATH_MAX + 32], what[160], why[kWhySize] = "";
    makeScratch(dir);
    snprintf(text, sizeof text, entry == kProgramPath ? "%s" : "%s one \"two words\"", probe);
    struct Launch launch = {entry, text};
    pid_t caller = 0;
    int status = inCaller(dir, launchBody, &launch, &caller);
    char report[8192], err[4096];
    bool reported = status == 0 && awaitFile(dir, ".report", 20000, report, sizeof report);
    if (describeStatus(status, why)) {
    } else if (!reported) {
        strcpy(why, "no report from the probe within 20 s");
    } else if (!readText(dir, "err", err, sizeof err) || err[0] != '\0') {
        snprintf(why, sizeof why, "standard error: %.900s", err);
    } else {
        detached(report, entry, caller, why);
    }
    snprintf(what, sizeof what, "%s: the program runs detached, /dev/null on 0 to 2 only",
             kEntryNames[entry]);
    check(why[0] == '\0', what, why);
    removeScratch(dir);
}

// A missing program, or a file that is no program, is one line on standard error with its
// errno, and the caller goes on.
static void checkFailure(int entry, bool missing) {
    char dir[64], what[160], why[kWhySize] = "", prefix[PATH_MAX + 64], suffix[32];
    char program[96] = "/nonexistent/startutil-missing";
    makeScratch(dir);
    int error = ENOENT;
    if (!missing) {
        // Plain text that no one may execute.
        snprintf(program, sizeof program, "%s/notes.txt", dir);
        FILE* notes = fopen(program, "w");
        if (notes == NULL || fputs("no program\n", notes) < 0 || fclose(notes) != 0) exit(2);
        error = EACCES;
    }
    struct Launch launch = {entry, program};
    int status = inCaller(dir, launchBody, &launch, NULL);
    char err[4096], name[NAME_MAX + 1];
    bool readable = readText(dir, "err", err, sizeof err);
    snprintf(prefix, sizeof prefix, "StartUtil: cannot start \"%s\": ", program);
    snprintf(suffix, sizeof suffix, " (error %d)\n", error);
    size_t length = strlen(err);
    if (describeStatus(status, why)) {
    } else if (!readable || strncmp(err, prefix, strlen(prefix)) != 0 || length < strlen(suffix) ||
               strcmp(err + length - strlen(suffix), suffix) != 0 ||
               strchr(err, '\n') != err + length - 1) {
        snprintf(why, sizeof why, "standard error is not one line \"%.300s...%s\": \"%.300s\"",
                 prefix, suffix, err);
    } else if (findFile(dir, ".report", name, sizeof name)) {
        strcpy(why, "a program started all the same");
    }
    snprintf(what, sizeof what, "%s: %s gives one failure line, the caller lives on",
             kEntryNames[entry], missing ? "a missing program" : "a file that is no program");
    check(why[0] == '\0', what, why);
    removeScratch(dir);
}

// clearenv() leaves environ null, in musl as in glibc: the launch neither crashes the caller nor
// fails, and the program runs with no variables (the shell adds its working directory).
static int clearedEnvironmentBody(void* argument) {
    clearenv();
    return launchBody(argument);
}

static void checkClearedEnvironment(void) {
    char dir[64], text[256], why[kWhySize] = "";
    makeScratch(dir);
    snprintf(text, sizeof text, "/bin/sh -c \"env > %s/part && mv %s/part %s/env\"", dir, dir, dir);
    struct Launch launch = {kCommandLine, text};
    int status = inCaller(dir, clearedEnvironmentBody, &launch, NULL);
    char err[4096], env[4096];
    bool ran = status == 0 && awaitFile(dir, "env", 20000, env, sizeof env);
    if (describeStatus(status, why)) {
    } else if (!readText(dir, "err", err, sizeof err) || err[0] != '\0') {
        snprintf(why, sizeof why, "standard error: %.900s", err);
    } else if (!ran) {
        strcpy(why, "the program did not run within 20 s");
    } else if (strstr(env, "PATH=") != NULL || strstr(env, "STARTUTIL") != NULL) {
        snprintf(why, sizeof why, "the program got variables:%.900s", env);
    }
    check(why[0] == '\0', "a cleared environment is an empty one for the program", why);
    removeScratch(dir);
}

// The killed-intermediate case: every execve of the caller and what it starts is held for the
// caller to release (seccomp user notification). The intermediate is killed while the program's
// process is held, the call is given time to return, and only then does the search go on: the
// launch's PATH has hundreds of missing directories before the probe's, each a failed execve
// that writes errno, so a call that returned early sees them land in its thread's errno.
enum { kMissingDirectories = 500 };

struct Held {
    const char* dir;
    char* text;
    atomic_int returned, execd;
    int errnoAfter;
};

static void* launchingThread(void* argument) {
    struct Held* held = argument;
    callEntry(kCommandLine, held->text);
    errno = EDOM;
    atomic_store(&held->returned, 1);
    for (long long deadline = nowMs() + 60000; !atomic_load(&held->execd) && nowMs() < deadline;) {
        pauseMs(1);
    }
    held->errnoAfter = errno;
    return NULL;
}

static int holdExecs(void) {
    struct sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_execve, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_USER_NOTIF),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    struct sock_fprog program = {sizeof filter / sizeof filter[0], filter};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return -1;
    return (int)syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, SECCOMP_FILTER_FLAG_NEW_LISTENER,
                        &program);
}

// The next held execve within limitMs: the process that made it, or 0.
static pid_t nextExec(int listener, struct seccomp_notif* notification, int limitMs) {
    struct pollfd ready = {listener, POLLIN, 0};
    if (poll(&ready, 1, limitMs) != 1) return 0;
    memset(notification, 0, sizeof *notification);
    if (syscall(SYS_ioctl, listener, SECCOMP_IOCTL_NOTIF_RECV, notification) != 0) return 0;
    return (pid_t)notification->pid;
}

static void releaseExec(int listener, const struct seccomp_notif* notification) {
    struct seccomp_notif_resp response = {.id = notification->id,
                                          .flags = SECCOMP_USER_NOTIF_FLAG_CONTINUE};
    syscall(SYS_ioctl, listener, SECCOMP_IOCTL_NOTIF_SEND, &response);
}

static pid_t parentOf(pid_t pid) {
    char dir[64], text[512];
    snprintf(dir, sizeof dir, "/proc/%d", (int)pid);
    readText(dir, "stat", text, sizeof text);
    const char* close = strrchr(text, ')');
    int parent = 0;
    if (close == NULL || sscanf(close, ") %*c %d", &parent) != 1) return 0;
    return parent;
}

// Exit codes: 0 when errno was still EDOM once the program had exec'd, 100 + errno when the
// launch wrote it after the call, 10 to 15 when a stage failed (kStages below).
static int killedIntermediateBody(void* argument) {
    struct Held* held = argument;
    prctl(PR_SET_CHILD_SUBREAPER, 1);  // the orphaned program's process comes back to us
    int listener = holdExecs();
    pthread_t thread;
    if (listener < 0) return 10;
    if (pthread_create(&thread, NULL, launchingThread, held) != 0) return 11;
    struct seccomp_notif notification;
    pid_t program = nextExec(listener, &notification, 20000);
    if (program == 0) return 12;
    pid_t intermediate = parentOf(program);
    if (intermediate <= 1 || intermediate == getpid()) return 15;
    kill(intermediate, SIGKILL);
    // A call that returns on the intermediate's death does so at once.
    for (long long deadline = nowMs() + 500; !atomic_load(&held->returned) && nowMs() < deadline;) {
        pauseMs(1);
    }
    // Every execve of the search goes on, up to the probe's, until the probe has reported.
    releaseExec(listener, &notification);
    char name[NAME_MAX + 1];
    for (long long deadline = nowMs() + 60000;
         !findFile(held->dir, ".report", name, sizeof name);) {
        if (nowMs() > deadline) return 13;
        if (nextExec(listener, &notification, 10) != 0) releaseExec(listener, &notification);
    }
    atomic_store(&held->execd, 1);
    pthread_join(thread, NULL);
    // The probe, now ours, exits once it has reported.
    for (long long deadline = nowMs() + 20000; waitpid(-1, NULL, WNOHANG) != -1;) {
        if (nowMs() > deadline) return 14;
        pauseMs(2);
    }
    return held->errnoAfter == EDOM ? 0 : 100 + held->errnoAfter;
}

static void checkKilledIntermediate(void) {
    char dir[64], why[kWhySize] = "";
    makeScratch(dir);
    // The program is named bare, to be searched for along PATH.
    const char* name = strrchr(probe, '/') + 1;
    size_t size = (size_t)kMissingDirectories * 32 + strlen(probe) + 1;
    char *path = malloc(size), *end = path;
    if (path == NULL) exit(2);
    for (int i = 0; i < kMissingDirectories; ++i) end += sprintf(end, "/nonexistent/%d:", i);
    sprintf(end, "%.*s", (int)(name - 1 - probe), probe);
    char* savedPath = getenv("PATH") != NULL ? strdup(getenv("PATH")) : NULL;
    setenv("PATH", path, 1);
    char text[NAME_MAX + 16];
    snprintf(text, sizeof text, "%s held", name);
    struct Held held = {.dir = dir, .text = text};
    int status = inCaller(dir, killedIntermediateBody, &held, NULL);
    if (savedPath != NULL) setenv("PATH", savedPath, 1);
    free(savedPath);
    free(path);
    static const char* const kStages[] = {
        "no seccomp listener",
        "no launching thread",
        "no execve held within 20 s",
        "no report from the probe within 60 s",
        "the probe had not ended within 20 s",
        "no intermediate between the caller and the program's process"};
    int code = status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : 0;
    if (code > 100) {
        snprintf(why, kWhySize, "errno was %d (%s) once the program had exec'd, not EDOM",
                 code - 100, strerror(code - 100));
    } else if (code >= 10 && code < 16) {
        snprintf(why, kWhySize, "%s", kStages[code - 10]);
    } else {
        describeStatus(status, why);
    }
    check(why[0] == '\0', "a killed intermediate leaves the caller's errno alone", why);
    removeScratch(dir);
}

// Only musl is mapped: the library's libc.so.6 was answered by musl's loader.
static void checkLoaded(const char* library) {
    char why[kWhySize] = "", line[1024];
    FILE* maps = fopen("/proc/self/maps", "r");
    bool musl = false, glibc = false;
    while (maps != NULL && fgets(line, sizeof line, maps) != NULL) {
        musl = musl || strstr(line, "musl") != NULL;
        glibc = glibc || strstr(line, "libc.so.6") != NULL || strstr(line, "ld-linux") != NULL;
    }
    if (maps != NULL) fclose(maps);
    if (!musl || glibc) {
        snprintf(why, kWhySize, "musl %s, glibc %s", musl ? "mapped" : "not mapped",
                 glibc ? "mapped" : "not mapped");
    }
    for (int entry = 0; entry < 2 && why[0] == '\0'; ++entry) {
        if (entries[entry] == NULL)
            snprintf(why, kWhySize, "no %s in %s", kEntryNames[entry], library);
    }
    check(why[0] == '\0', "the library loads under musl alone with both entry points", why);
}

int main(int argc, char** argv) {
    if (argc != 3 || strchr(argv[2], '/') == NULL) {
        fprintf(stderr, "usage: musl_host LIBRARY PROBE (both as paths)\n");
        return 2;
    }
    probe = argv[2];
    lastCheckMs = nowMs();
    void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (library == NULL) {
        check(false, "the library loads", dlerror());
    } else {
        static const char* const prefix = "Java_velquon_zy_drav_sdk_util_ServerStartUtility_";
        for (int entry = 0; entry < 2; ++entry) {
            char symbol[128];
            snprintf(symbol, sizeof symbol, "%s%s", prefix, kEntryNames[entry]);
            *(void**)&entries[entry] = dlsym(library, symbol);
        }
        checkLoaded(argv[1]);
    }
    if (failed == 0) {
        for (int entry = 0; entry < 2; ++entry) {
            checkDetached(entry);
            checkFailure(entry, true);
            checkFailure(entry, false);
        }
        checkKilledIntermediate();
        checkClearedEnvironment();
    }
    printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
