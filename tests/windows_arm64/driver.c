// Calls StartUtil.dll for Windows on Arm64 the way the VM would: the plain C twin of
// tests/windows/launch_driver.cpp (Debian has no C or C++ runtime for Arm64 Windows programs),
// with the C hosts' fake JNIEnv of tests/common/fake_jni.h.
//
//   driver.exe DLL [--probe] (ORDINAL TEXT)...
//
// Calls export ORDINAL (1 or 2) with each TEXT: --null for a null string, --long=N for a name of
// N characters, --nul=T for T, a NUL and " tail"; else TEXT itself. Each string must be taken
// and given back once. With --probe every plain TEXT starts the probe, which must report the
// command line the library gave it ("TEXT" for a path, TEXT for a command line) within 90 s;
// each probe is then waited for, and ended if it lingers. Exits 0 when all holds.
#include <jni.h>
#include <windows.h>

#include "fake_jni.h"
#include "probe_report.h"

#define MOST_CALLS 16

typedef void(JNICALL* NativeMethod)(JNIEnv*, jclass, jstring);

// Each Java string's characters sit at the very end of read-only pages that a no-access page
// follows, with no terminator: reading one too many or writing to them faults.
static const jchar* guardedCopy(const wchar_t* text, SIZE_T units) {
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    SIZE_T page = system.dwPageSize, bytes = units * sizeof(jchar);
    SIZE_T readable = bytes == 0 ? page : (bytes + page - 1) / page * page;
    char* base = VirtualAlloc(NULL, readable + page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (base == NULL) return NULL;
    char* start = base + readable - bytes;
    CopyMemory(start, text, bytes);
    DWORD old = 0;
    if (!VirtualProtect(base, readable, PAGE_READONLY, &old) ||
        !VirtualProtect(base + readable, page, PAGE_NOACCESS, &old)) {
        return NULL;
    }
    return (const jchar*)start;
}

static void say(const char* text) {
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), text, (DWORD)lstrlenA(text), &written, NULL);
}

static BOOL startsWith(const wchar_t* text, const wchar_t* prefix) {
    while (*prefix != L'\0') {
        if (*text++ != *prefix++) return FALSE;
    }
    return TRUE;
}

static DWORD decimal(const wchar_t* text) {
    DWORD value = 0;
    while (*text >= L'0' && *text <= L'9') value = value * 10 + (DWORD)(*text++ - L'0');
    return value;
}

// The command lines the probe should report, and the folder it reports into.
static wchar_t expected[MOST_CALLS][1024];
static int expectedCount = 0;
static wchar_t reports[MAX_PATH];

static void expectProbe(int ordinal, const wchar_t* text) {
    if (expectedCount == MOST_CALLS || lstrlenW(text) > 1000) return;
    wchar_t* line = expected[expectedCount++];
    lstrcpyW(line, ordinal == 1 ? L"\"" : L"");
    lstrcatW(line, text);
    if (ordinal == 1) lstrcatW(line, L"\"");
}

// One call of export `ordinal` with the text an argument stands for; FALSE if the string was
// not taken and given back exactly once.
static BOOL call(HMODULE module, JNIEnv* env, int ordinal, const wchar_t* argument) {
    static wchar_t text[40000];
    NativeMethod method =
        (NativeMethod)(void*)GetProcAddress(module, MAKEINTRESOURCEA((WORD)ordinal));
    if (method == NULL) return FALSE;
    if (lstrcmpW(argument, L"--null") == 0) {
        method(env, NULL, NULL);
        return !fakeJniOf(env)->pending;
    }
    int units = 0;
    if (startsWith(argument, L"--long=")) {
        units = (int)decimal(argument + 7);
        if (units > 32800) return FALSE;
        lstrcpyW(text, L"C:\\missing");
        for (int i = lstrlenW(text); i < units; ++i) text[i] = L'a';
    } else if (startsWith(argument, L"--nul=") && lstrlenW(argument) < 1000) {
        units = lstrlenW(lstrcpyW(text, argument + 6));
        lstrcpyW(text + units + 1, L" tail");
        units += 6;
    } else if (lstrlenW(argument) < 1000) {
        units = lstrlenW(lstrcpyW(text, argument));
    } else {
        return FALSE;
    }
    struct FakeJniString string = {guardedCopy(text, (SIZE_T)units), units, 0, 0};
    if (string.chars == NULL) return FALSE;
    method(env, NULL, (jstring)&string);
    // The receiver's class lacks the jar's methods: the lookup's exception must not stay pending.
    return string.gets == 1 && string.releases == 1 && !fakeJniOf(env)->pending;
}

// The command line one probe reported, into `line`; FALSE if its report cannot be read.
static BOOL reportedCommandLine(const wchar_t* name, wchar_t* line, int room) {
    static char text[8192];
    static struct ProbeReportFields report;
    wchar_t path[MAX_PATH * 2];
    lstrcatW(lstrcatW(lstrcpyW(path, reports), L"\\"), name);
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, NULL,
                              OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE) return FALSE;
    DWORD bytes = 0;
    BOOL read = ReadFile(file, text, sizeof text - 1, &bytes, NULL);
    CloseHandle(file);
    DeleteFileW(path);
    text[bytes] = '\0';
    const char* value =
        read && probeReportParse(text, &report) ? probeReportValue(&report, "commandline") : NULL;
    return value != NULL &&
           MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, value, -1, line, room) > 0;
}

// Waits for a report per expected command line, checks each against one of them, and waits
// for (or ends) every probe that reported.
static BOOL checkProbes(void) {
    ULONGLONG deadline = GetTickCount64() + 90000;
    wchar_t pattern[MAX_PATH + 16];
    lstrcatW(lstrcpyW(pattern, reports), L"\\*.report");
    int found = 0;
    while (GetTickCount64() < deadline) {
        WIN32_FIND_DATAW entry;
        HANDLE search = FindFirstFileW(pattern, &entry);
        found = 0;
        if (search != INVALID_HANDLE_VALUE) {
            do ++found;
            while (FindNextFileW(search, &entry));
            FindClose(search);
        }
        if (found >= expectedCount) break;
        Sleep(50);
    }
    BOOL matched[MOST_CALLS] = {FALSE};
    BOOL good = found == expectedCount;
    if (!good) say("driver: not every probe reported\n");
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW(pattern, &entry);
    while (search != INVALID_HANDLE_VALUE) {
        static wchar_t line[2048];
        BOOL known = FALSE;
        if (reportedCommandLine(entry.cFileName, line, 2048)) {
            for (int i = 0; i < expectedCount && !known; ++i) {
                known = !matched[i] && lstrcmpW(line, expected[i]) == 0;
                if (known) matched[i] = TRUE;
            }
        }
        if (!known) say("driver: a probe reported a command line no call gave it\n");
        good = good && known;
        HANDLE probe =
            OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, decimal(entry.cFileName));
        if (probe != NULL) {
            if (WaitForSingleObject(probe, 10000) != WAIT_OBJECT_0) TerminateProcess(probe, 1);
            CloseHandle(probe);
        }
        if (!FindNextFileW(search, &entry)) {
            FindClose(search);
            search = INVALID_HANDLE_VALUE;
        }
    }
    return good;
}

static UINT run(void) {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv == NULL || argc < 2) return 2;
    HMODULE module = LoadLibraryW(argv[1]);
    if (module == NULL) {
        say("driver: cannot load the DLL\n");
        return 2;
    }
    int first = 2;
    BOOL probe = argc > 2 && lstrcmpW(argv[2], L"--probe") == 0;
    if (probe) {
        ++first;
        DWORD length = GetTempPathW(MAX_PATH - 40, reports);
        if (length == 0 || length >= MAX_PATH - 40) return 2;
        lstrcatW(reports, L"startutil-reports");
        if (!CreateDirectoryW(reports, NULL) ||
            !SetEnvironmentVariableW(L"STARTUTIL_PROBE_DIR", reports)) {
            return 2;
        }
    }
    // The probes need no trace of their own: Wine passes WINEDEBUG on as an environment variable.
    SetEnvironmentVariableW(L"WINEDEBUG", NULL);

    static struct FakeJni fake;  // zeroed; every entry not set here is null: using one crashes
    fakeJniInit(&fake);
    JNIEnv* env = (JNIEnv*)(void*)&fake;
    UINT status = 0;
    for (int i = first; i + 1 < argc; i += 2) {
        int ordinal = (int)decimal(argv[i]);
        if (!call(module, env, ordinal, argv[i + 1])) {
            say("driver: a call did not take and give back its string once, or left an "
                "exception\n");
            status = 3;
        }
        if (probe && !startsWith(argv[i + 1], L"--")) expectProbe(ordinal, argv[i + 1]);
    }
    if (probe) {
        if (!checkProbes()) status = 4;
        RemoveDirectoryW(reports);
    }
    return status;
}

void mainCRTStartup(void) {
    ExitProcess(run());
}
