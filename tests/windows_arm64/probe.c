// The probe for Windows on Arm64, in plain C (Debian has no C runtime for Arm64 Windows
// programs): reports the command line it was started with (tests/common/probe_report.h) in the
// folder that STARTUTIL_PROBE_DIR names, and exits at once.
#include <windows.h>

#include "../common/probe_report.h"

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
    // At most 32767 units, each three UTF-8 bytes at most, or one byte escaped into three.
    static char commandLine[3 * 32768], text[3 * 32768 + 16];
    int bytes = WideCharToMultiByte(CP_UTF8, 0, GetCommandLineW(), -1, commandLine,
                                    (int)sizeof commandLine, NULL, NULL);
    if (bytes <= 0) return 1;
    char* end = text;
    for (const char* key = "commandline="; *key != '\0';) *end++ = *key++;
    for (int i = 0; i + 1 < bytes; ++i)
        end += probeReportPutByte(end, (unsigned char)commandLine[i]);
    *end++ = '\n';

    wchar_t temporary[MAX_PATH + 32];
    DWORD length = GetEnvironmentVariableW(L"STARTUTIL_PROBE_DIR", temporary, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return 1;
    wchar_t* stem = appendDecimal(append(temporary + length, L"\\"), GetCurrentProcessId());
    wchar_t final[MAX_PATH + 32];
    append(append(final, temporary), L".report");
    append(stem, L".tmp");

    DWORD size = (DWORD)(end - text), written = 0;
    HANDLE file = CreateFileW(temporary, GENERIC_WRITE, 0, NULL, CREATE_NEW, 0, NULL);
    if (file == INVALID_HANDLE_VALUE) return 1;
    BOOL whole = WriteFile(file, text, size, &written, NULL) && written == size;
    if (!CloseHandle(file) || !whole) return 1;
    return MoveFileExW(temporary, final, MOVEFILE_REPLACE_EXISTING) ? 0 : 1;
}

void mainCRTStartup(void) {
    ExitProcess(report());
}
