// The probe for Windows on Arm64, in plain C (Debian has no C runtime for Arm64 Windows
// programs): writes the command line it was started with, as UTF-16, to <pid>.report in the
// folder that STARTUTIL_PROBE_REPORTS names (under a temporary name first, then renamed, so that
// a reader never sees half a report) and exits at once.
#include <windows.h>

// Appends `text` at `at` and returns the new end; the caller has checked the room.
static wchar_t* append(wchar_t* at, const wchar_t* text) {
    while (*text != L'\0') *at++ = *text++;
    *at = L'\0';
    return at;
}

static wchar_t* appendDecimal(wchar_t* at, DWORD value) {
    wchar_t digits[12];
    int count = 0;
    do {
        digits[count++] = (wchar_t)(L'0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (count > 0) *at++ = digits[--count];
    *at = L'\0';
    return at;
}

static UINT report(void) {
    wchar_t temporary[MAX_PATH + 32];
    DWORD length = GetEnvironmentVariableW(L"STARTUTIL_PROBE_REPORTS", temporary, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return 1;
    wchar_t* stem = appendDecimal(append(temporary + length, L"\\"), GetCurrentProcessId());
    wchar_t final[MAX_PATH + 32];
    append(append(final, temporary), L".report");
    append(stem, L".tmp");

    const wchar_t* line = GetCommandLineW();
    DWORD bytes = (DWORD)lstrlenW(line) * (DWORD)sizeof(wchar_t), written = 0;
    HANDLE file = CreateFileW(temporary, GENERIC_WRITE, 0, NULL, CREATE_NEW, 0, NULL);
    if (file == INVALID_HANDLE_VALUE) return 1;
    BOOL whole = WriteFile(file, line, bytes, &written, NULL) && written == bytes;
    if (!CloseHandle(file) || !whole) return 1;
    return MoveFileExW(temporary, final, MOVEFILE_REPLACE_EXISTING) ? 0 : 1;
}

void mainCRTStartup(void) {
    ExitProcess(report());
}
