// What MinGW's runtime gives a DLL, for Windows on Arm64, where Debian has none: the entry point,
// the standard streams as MinGW's headers look them up, and the stack probe the compiler calls
// for frames larger than a page.
#include <stdio.h>
#include <windows.h>

// The library keeps no state: nothing to set up or tear down.
BOOL WINAPI DllMainCRTStartup(HINSTANCE module, DWORD reason, LPVOID reserved) {
    (void)module;
    (void)reason;
    (void)reserved;
    return TRUE;
}

// stdio.h names stdout `__acrt_iob_func(1)`, imported; msvcrt.dll has the streams' array.
static FILE* __cdecl standardStream(unsigned index) {
    return &__iob_func()[index];
}
FILE*(__cdecl* const __imp___acrt_iob_func)(unsigned) = standardStream;

// Touches each page of a new frame of x15 * 16 bytes from the top down, so that the stack's guard
// page is met in order; the caller moves sp itself. It may change x16 and x17 only.
__asm__(
    ".text\n"
    ".globl __chkstk\n"
    ".p2align 2\n"
    "__chkstk:\n"
    "    lsl x16, x15, #4\n"
    "    mov x17, sp\n"
    "1:  sub x17, x17, #4096\n"
    "    subs x16, x16, #4096\n"
    "    ldr xzr, [x17]\n"
    "    b.gt 1b\n"
    "    ret\n");
