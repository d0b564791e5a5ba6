// System calls made directly, for the processes that run in the caller's memory before exec.
//
// Those processes run on the calling thread's thread pointer (no CLONE_SETTLS), so everything
// thread-local they write lands in the caller's thread: errno, which every C library wrapper
// sets on failure, and the pid and tid that glibc before 2.24 caches in the thread control block
// and that its clone wrapper sets to -1 in a child made with CLONE_VM. So they make no call into
// the C library at all: the calls here return -errno on failure, and raw::clone replaces clone().
#pragma once

#include <signal.h>
#include <sys/syscall.h>

#include <cstdint>
#include <type_traits>

namespace raw {

#ifdef __clang_analyzer__
// The static analyzer cannot see into the assembly: handing each pointer to a function it cannot
// see either tells it that the kernel may write through it. Declared only; never compiled.
void escape(void* pointer);
void escape(const void* pointer);
#endif

// An argument as the kernel takes it: one register's worth.
template <typename T>
long word(T value) {
    if constexpr (std::is_null_pointer_v<T>) {
        return 0;
    } else if constexpr (std::is_pointer_v<T>) {
#ifdef __clang_analyzer__
        if constexpr (!std::is_function_v<std::remove_pointer_t<T>>) escape(value);
#endif
        return reinterpret_cast<long>(value);
    } else {
        return static_cast<long>(value);
    }
}

#if defined(__x86_64__)

// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): the kernel's own calling convention
inline long call6(long number, long a, long b, long c, long d, long e, long f) {
    register long r10 __asm__("r10") = d;
    register long r8 __asm__("r8") = e;
    register long r9 __asm__("r9") = f;
    long result;
    __asm__ volatile("syscall"
                     : "=a"(result)
                     : "a"(number), "D"(a), "S"(b), "d"(c), "r"(r10), "r"(r8), "r"(r9)
                     : "rcx", "r11", "memory");
    return result;
}

// clone(flags, stack, parentTid, childTid) that runs `function(argument)` on `stackTop` in the
// child and ends it with the exit system call and the function's result; returns the child's
// id or -errno. The child starts with the caller's registers, so the function and its argument
// travel in registers that the system call keeps.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): in the system call's own order
inline long clone(unsigned long flags, void* stackTop, int* parentTid, int* childTid,
                  int (*function)(void*), void* argument) {
    register long r10 __asm__("r10") = word(childTid);
    register long r8 __asm__("r8") = 0;  // no new thread pointer
    register long r12 __asm__("r12") = word(function);
    register long r13 __asm__("r13") = word(argument);
    long result;
    __asm__ volatile(
        "syscall\n\t"
        "test %%rax, %%rax\n\t"
        "jnz 1f\n\t"
        // The outermost frame, for debuggers too: no return address above it.
        ".cfi_remember_state\n\t"
        ".cfi_undefined rip\n\t"
        "xor %%ebp, %%ebp\n\t"
        "mov %%r13, %%rdi\n\t"
        "call *%%r12\n\t"
        "mov %%eax, %%edi\n\t"
        "mov %[exit], %%eax\n\t"
        "syscall\n\t"
        "hlt\n\t"
        ".cfi_restore_state\n"  // the caller's own frame again
        "1:"
        : "=a"(result)
        : "a"(long{SYS_clone}), "D"(flags), "S"(stackTop), "d"(parentTid), "r"(r10), "r"(r8),
          "r"(r12), "r"(r13), [exit] "i"(SYS_exit)
        : "rcx", "r11", "memory");
    return result;
}

// x86_64's kernel runs a handler only with SA_RESTORER and the address its return jumps to: the
// rt_sigreturn call, spelt as the C library spells it so that debuggers know the frame.
constexpr unsigned long kHandlerFlags = 0x04000000;
static_assert(SYS_rt_sigreturn == 15);
// NOLINTNEXTLINE(bugprone-reserved-identifier): defined by the assembly below
extern "C" __attribute__((visibility("hidden"))) void startutil_signal_return();
// One copy however many files include this: a group the linker keeps once, hidden from the VM.
__asm__(
    ".pushsection .text.startutil_signal_return,\"axG\",@progbits,startutil_signal_return,"
    "comdat\n\t"
    ".globl startutil_signal_return\n\t"
    ".hidden startutil_signal_return\n\t"
    ".type startutil_signal_return, @function\n"
    "startutil_signal_return:\n\t"
    "movq $15, %rax\n\t"
    "syscall\n\t"
    "hlt\n\t"
    ".size startutil_signal_return, . - startutil_signal_return\n\t"
    ".popsection");
inline void* signalRestorer() {
    return reinterpret_cast<void*>(&startutil_signal_return);
}

#elif defined(__aarch64__)

// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): the kernel's own calling convention
inline long call6(long number, long a, long b, long c, long d, long e, long f) {
    register long x8 __asm__("x8") = number;
    register long x0 __asm__("x0") = a;
    register long x1 __asm__("x1") = b;
    register long x2 __asm__("x2") = c;
    register long x3 __asm__("x3") = d;
    register long x4 __asm__("x4") = e;
    register long x5 __asm__("x5") = f;
    __asm__ volatile("svc #0"
                     : "+r"(x0)
                     : "r"(x8), "r"(x1), "r"(x2), "r"(x3), "r"(x4), "r"(x5)
                     : "memory");
    return x0;
}

// As on x86_64; arm64's clone takes the thread pointer before the child's tid.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): in the system call's own order
inline long clone(unsigned long flags, void* stackTop, int* parentTid, int* childTid,
                  int (*function)(void*), void* argument) {
    register long x8 __asm__("x8") = SYS_clone;
    register long x0 __asm__("x0") = word(flags);
    register long x1 __asm__("x1") = word(stackTop);
    register long x2 __asm__("x2") = word(parentTid);
    register long x3 __asm__("x3") = 0;  // no new thread pointer
    register long x4 __asm__("x4") = word(childTid);
    register long x9 __asm__("x9") = word(function);
    register long x10 __asm__("x10") = word(argument);
    __asm__ volatile(
        "svc #0\n\t"
        "cbnz x0, 1f\n\t"
        // The outermost frame, for debuggers too: no return address above it.
        ".cfi_remember_state\n\t"
        ".cfi_undefined x30\n\t"
        "mov x29, #0\n\t"
        "mov x0, x10\n\t"
        "blr x9\n\t"
        "mov x8, %[exit]\n\t"
        "svc #0\n\t"
        "brk #0\n\t"
        ".cfi_restore_state\n"  // the caller's own frame again
        "1:"
        : "+r"(x0)
        : "r"(x8), "r"(x1), "r"(x2), "r"(x3), "r"(x4), "r"(x9), "r"(x10), [exit] "i"(SYS_exit)
        : "memory");
    return x0;
}

// arm64's kernel returns from a handler through the vDSO's own trampoline.
constexpr unsigned long kHandlerFlags = 0;
inline void* signalRestorer() {
    return nullptr;
}

#elif defined(__powerpc64__) && defined(_CALL_ELF) && _CALL_ELF == 2

// An error comes back as a positive errno with the summary-overflow bit of cr0 set.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): the kernel's own calling convention
inline long call6(long number, long a, long b, long c, long d, long e, long f) {
    register long r0 __asm__("r0") = number;
    register long r3 __asm__("r3") = a;
    register long r4 __asm__("r4") = b;
    register long r5 __asm__("r5") = c;
    register long r6 __asm__("r6") = d;
    register long r7 __asm__("r7") = e;
    register long r8 __asm__("r8") = f;
    __asm__ volatile(
        "sc\n\t"
        "bns+ 1f\n\t"
        "neg %1, %1\n"
        "1:"
        : "+r"(r0), "+r"(r3), "+r"(r4), "+r"(r5), "+r"(r6), "+r"(r7), "+r"(r8)
        :
        : "r9", "r10", "r11", "r12", "cr0", "ctr", "xer", "memory");
    return r3;
}

// As on x86_64; ppc64's clone takes the thread pointer before the child's tid. The child's
// first frame (ELFv2: back chain, and the slots where the callee saves the link register and
// the TOC pointer) is made on its new stack, and the function is called through r12, from which
// its global entry point computes its TOC pointer.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): in the system call's own order
inline long clone(unsigned long flags, void* stackTop, int* parentTid, int* childTid,
                  int (*function)(void*), void* argument) {
    register long r0 __asm__("r0") = SYS_clone;
    register long r3 __asm__("r3") = word(flags);
    register long r4 __asm__("r4") = word(stackTop);
    register long r5 __asm__("r5") = word(parentTid);
    register long r6 __asm__("r6") = 0;  // no new thread pointer
    register long r7 __asm__("r7") = word(childTid);
    register long r30 __asm__("r30") = word(function);
    register long r31 __asm__("r31") = word(argument);
    __asm__ volatile(
        "sc\n\t"
        "bso- 1f\n\t"
        "cmpdi %1, 0\n\t"
        "bne 2f\n\t"
        // The outermost frame, for debuggers too: a back chain of zero, no return address.
        ".cfi_remember_state\n\t"
        ".cfi_undefined lr\n\t"
        "clrrdi 1, 1, 4\n\t"
        "li 0, 0\n\t"
        "stdu 0, -32(1)\n\t"
        "mtctr %[function]\n\t"
        "mr 12, %[function]\n\t"
        "mr 3, %[argument]\n\t"
        "bctrl\n\t"
        "li 0, %[exit]\n\t"
        "sc\n\t"
        "trap\n\t"
        ".cfi_restore_state\n"  // the caller's own frame again
        "1:\n\t"
        "neg %1, %1\n"
        "2:"
        : "+r"(r0), "+r"(r3), "+r"(r4), "+r"(r5), "+r"(r6), "+r"(r7)
        : [function] "r"(r30), [argument] "r"(r31), [exit] "i"(SYS_exit)
        : "r8", "r9", "r10", "r11", "r12", "cr0", "ctr", "xer", "memory");
    return r3;
}

// ppc64's kernel returns from a handler through the vDSO's own trampoline.
constexpr unsigned long kHandlerFlags = 0;
inline void* signalRestorer() {
    return nullptr;
}

#elif defined(__s390x__)

// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): the kernel's own calling convention
inline long call6(long number, long a, long b, long c, long d, long e, long f) {
    register long r1 __asm__("r1") = number;
    register long r2 __asm__("r2") = a;
    register long r3 __asm__("r3") = b;
    register long r4 __asm__("r4") = c;
    register long r5 __asm__("r5") = d;
    register long r6 __asm__("r6") = e;
    register long r7 __asm__("r7") = f;
    __asm__ volatile("svc 0"
                     : "+r"(r2)
                     : "r"(r1), "r"(r3), "r"(r4), "r"(r5), "r"(r6), "r"(r7)
                     : "memory");
    return r2;
}

// As on x86_64; s390x's clone takes the stack first, then the flags. The child makes the
// 160-byte area below its stack pointer in which the function saves the caller's registers.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): in the system call's own order
inline long clone(unsigned long flags, void* stackTop, int* parentTid, int* childTid,
                  int (*function)(void*), void* argument) {
    register long r1 __asm__("r1") = SYS_clone;
    register long r2 __asm__("r2") = word(stackTop);
    register long r3 __asm__("r3") = word(flags);
    register long r4 __asm__("r4") = word(parentTid);
    register long r5 __asm__("r5") = word(childTid);
    register long r6 __asm__("r6") = 0;  // no new thread pointer
    register long r8 __asm__("r8") = word(function);
    register long r9 __asm__("r9") = word(argument);
    __asm__ volatile(
        "svc 0\n\t"
        "ltgr %%r2, %%r2\n\t"
        "jnz 1f\n\t"
        // The outermost frame, for debuggers too: a back chain of zero, no return address.
        ".cfi_remember_state\n\t"
        ".cfi_undefined %%r14\n\t"
        "nill %%r15, 0xfff8\n\t"
        "aghi %%r15, -160\n\t"
        "xc 0(8, %%r15), 0(%%r15)\n\t"
        "lgr %%r2, %%r9\n\t"
        "basr %%r14, %%r8\n\t"
        "lghi %%r1, %[exit]\n\t"
        "svc 0\n\t"
        ".long 0\n\t"
        ".cfi_restore_state\n"  // the caller's own frame again
        "1:"
        : "+r"(r2)
        : "r"(r1), "r"(r3), "r"(r4), "r"(r5), "r"(r6), "r"(r8), "r"(r9), [exit] "i"(SYS_exit)
        : "cc", "memory");
    return r2;
}

// s390x kernels before the vDSO had its own trampoline (5.x) return from a handler through code
// they write to the stack, which need not be executable: so the C library's way, SA_RESTORER
// and an rt_sigreturn call of its own. With SA_SIGINFO, for without it the kernel builds the
// older frame, which only sigreturn unwinds; the handler's extra arguments go unread.
constexpr unsigned long kHandlerFlags = 0x04000000 | SA_SIGINFO;
static_assert(SYS_rt_sigreturn == 173);
// NOLINTNEXTLINE(bugprone-reserved-identifier): defined by the assembly below
extern "C" __attribute__((visibility("hidden"))) void startutil_signal_return();
// One copy however many files include this: a group the linker keeps once, hidden from the VM.
__asm__(
    ".pushsection .text.startutil_signal_return,\"axG\",@progbits,startutil_signal_return,"
    "comdat\n\t"
    ".globl startutil_signal_return\n\t"
    ".hidden startutil_signal_return\n\t"
    ".type startutil_signal_return, @function\n"
    "startutil_signal_return:\n\t"
    "svc 173\n\t"
    ".size startutil_signal_return, . - startutil_signal_return\n\t"
    ".popsection");
inline void* signalRestorer() {
    return reinterpret_cast<void*>(&startutil_signal_return);
}

#elif defined(__riscv) && __riscv_xlen == 64

// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): the kernel's own calling convention
inline long call6(long number, long a, long b, long c, long d, long e, long f) {
    register long a7 __asm__("a7") = number;
    register long a0 __asm__("a0") = a;
    register long a1 __asm__("a1") = b;
    register long a2 __asm__("a2") = c;
    register long a3 __asm__("a3") = d;
    register long a4 __asm__("a4") = e;
    register long a5 __asm__("a5") = f;
    __asm__ volatile("ecall"
                     : "+r"(a0)
                     : "r"(a7), "r"(a1), "r"(a2), "r"(a3), "r"(a4), "r"(a5)
                     : "memory");
    return a0;
}

// As on x86_64; riscv64's clone takes the thread pointer before the child's tid.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): in the system call's own order
inline long clone(unsigned long flags, void* stackTop, int* parentTid, int* childTid,
                  int (*function)(void*), void* argument) {
    register long a7 __asm__("a7") = SYS_clone;
    register long a0 __asm__("a0") = word(flags);
    register long a1 __asm__("a1") = word(stackTop);
    register long a2 __asm__("a2") = word(parentTid);
    register long a3 __asm__("a3") = 0;  // no new thread pointer
    register long a4 __asm__("a4") = word(childTid);
    register long a5 __asm__("a5") = word(function);
    register long a6 __asm__("a6") = word(argument);
    __asm__ volatile(
        "ecall\n\t"
        "bnez a0, 1f\n\t"
        // The outermost frame, for debuggers too: no return address above it.
        ".cfi_remember_state\n\t"
        ".cfi_undefined ra\n\t"
        "li s0, 0\n\t"
        "mv a0, a6\n\t"
        "jalr a5\n\t"
        "li a7, %[exit]\n\t"
        "ecall\n\t"
        "unimp\n\t"
        ".cfi_restore_state\n"  // the caller's own frame again
        "1:"
        : "+r"(a0)
        : "r"(a7), "r"(a1), "r"(a2), "r"(a3), "r"(a4), "r"(a5), "r"(a6), [exit] "i"(SYS_exit)
        : "memory");
    return a0;
}

// riscv64's kernel returns from a handler through the vDSO's own trampoline, and its sigaction
// has no field for another.
constexpr unsigned long kHandlerFlags = 0;

#elif defined(__arm__) && defined(__ARM_EABI__)

// The number goes in r7, which Thumb code keeps its frame pointer in: r7 is saved in another
// register across the call and put back before the compiler's code sees it again.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): the kernel's own calling convention
inline long call6(long number, long a, long b, long c, long d, long e, long f) {
    register long r0 __asm__("r0") = a;
    register long r1 __asm__("r1") = b;
    register long r2 __asm__("r2") = c;
    register long r3 __asm__("r3") = d;
    register long r4 __asm__("r4") = e;
    register long r5 __asm__("r5") = f;
    long saved;
    __asm__ volatile(
        "mov %[saved], r7\n\t"
        "mov r7, %[number]\n\t"
        "svc #0\n\t"
        "mov r7, %[saved]"
        : "+r"(r0), [saved] "=&r"(saved)
        : [number] "r"(number), "r"(r1), "r"(r2), "r"(r3), "r"(r4), "r"(r5)
        : "memory");
    return r0;
}

// As on x86_64; 32-bit Arm's clone takes the thread pointer before the child's tid. The child
// branches to a first frame of its own, in a section apart, with its own unwind entry: Arm's
// compilers describe frames in their own tables (.ARM.exidx), and the DWARF ones that debuggers
// read only with -g, so the entry is written here, into .debug_frame, whatever the build.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): in the system call's own order
inline long clone(unsigned long flags, void* stackTop, int* parentTid, int* childTid,
                  int (*function)(void*), void* argument) {
    register long r0 __asm__("r0") = word(flags);
    register long r1 __asm__("r1") = word(stackTop);
    register long r2 __asm__("r2") = word(parentTid);
    register long r3 __asm__("r3") = 0;  // no new thread pointer
    register long r4 __asm__("r4") = word(childTid);
    register long r5 __asm__("r5") = word(function);
    register long r6 __asm__("r6") = word(argument);
    long saved;
    __asm__ volatile(
        "mov %[saved], r7\n\t"
        "mov r7, %[number]\n\t"
        "svc #0\n\t"
        "mov r7, %[saved]\n\t"
        "cmp r0, #0\n\t"
        "beq .Lstartutil_clone_child%=\n\t"
        ".pushsection .text.startutil_clone_child,\"ax\",%%progbits\n"
        ".Lstartutil_clone_child%=:\n\t"
        // The outermost frame: no return address above it, and no frame pointer (r7 in Thumb
        // code, r11 in Arm code).
        ".cfi_sections .debug_frame\n\t"
        ".cfi_startproc\n\t"
        ".cfi_undefined lr\n\t"
        "mov r7, #0\n\t"
        "mov r11, #0\n\t"
        "mov r0, r6\n\t"
        "blx r5\n\t"
        "mov r7, %[exit]\n\t"
        "svc #0\n\t"
        "udf #0\n\t"
        ".cfi_endproc\n\t"
        ".popsection"
        : "+r"(r0), [saved] "=&r"(saved)
        : "r"(r1), "r"(r2), "r"(r3), "r"(r4), "r"(r5),
          "r"(r6), [number] "i"(SYS_clone), [exit] "i"(SYS_exit)
        : "cc", "memory");
    return r0;
}

// 32-bit Arm's kernel returns from a handler through its own code in the signal page.
constexpr unsigned long kHandlerFlags = 0;
inline void* signalRestorer() {
    return nullptr;
}

#elif defined(__i386__)

// The sixth argument goes in ebp, which may be the frame pointer: ebp is saved on the stack
// across the call, and the first and last arguments come from memory once it is.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): the kernel's own calling convention
inline long call6(long number, long a, long b, long c, long d, long e, long f) {
    long firstAndLast[2] = {a, f};
    long* pair = firstAndLast;
    __asm__ volatile(
        "push %%ebp\n\t"
        "mov 4(%%ebx), %%ebp\n\t"
        "mov (%%ebx), %%ebx\n\t"
        "int $0x80\n\t"
        "pop %%ebp"
        : "+a"(number), "+b"(pair)
        : "c"(b), "d"(c), "S"(d), "D"(e)
        : "memory");
    return number;
}

// As on x86_64, through int $0x80 (the vDSO's entry is found through the C library's thread
// block, which musl does not keep); i386's clone takes the thread pointer before the child's
// tid. The call takes every register but ebp, so the function and its argument travel on the
// child's new stack: the argument at its stack pointer, 16-byte aligned at the call as the
// calling convention wants, and the function above it.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): in the system call's own order
inline long clone(unsigned long flags, void* stackTop, int* parentTid, int* childTid,
                  int (*function)(void*), void* argument) {
    auto aligned = reinterpret_cast<std::uintptr_t>(stackTop) & ~std::uintptr_t{15};
    long* frame = reinterpret_cast<long*>(aligned) - 4;
    frame[0] = word(argument);
    frame[1] = word(function);
    long result = SYS_clone;
    __asm__ volatile(
        "int $0x80\n\t"
        "test %%eax, %%eax\n\t"
        "jnz 1f\n\t"
        // The outermost frame, for debuggers too: no return address above it.
        ".cfi_remember_state\n\t"
        ".cfi_undefined eip\n\t"
        "xor %%ebp, %%ebp\n\t"
        "call *4(%%esp)\n\t"
        "mov %%eax, %%ebx\n\t"
        "mov %[exit], %%eax\n\t"
        "int $0x80\n\t"
        "hlt\n\t"
        ".cfi_restore_state\n"  // the caller's own frame again
        "1:"
        : "+a"(result)
        : "b"(flags), "c"(frame), "d"(parentTid), "S"(0L), "D"(childTid), [exit] "i"(SYS_exit)
        : "memory");
    return result;
}

// As on x86_64: SA_RESTORER and the C library's own rt_sigreturn call, which debuggers know,
// rather than the vDSO's, whose address musl does not look up. With SA_SIGINFO, for without it
// the kernel builds the older frame, which only sigreturn unwinds; the handler's extra
// arguments go unread.
constexpr unsigned long kHandlerFlags = 0x04000000 | SA_SIGINFO;
static_assert(SYS_rt_sigreturn == 173);
// NOLINTNEXTLINE(bugprone-reserved-identifier): defined by the assembly below
extern "C" __attribute__((visibility("hidden"))) void startutil_signal_return();
// One copy however many files include this: a group the linker keeps once, hidden from the VM.
__asm__(
    ".pushsection .text.startutil_signal_return,\"axG\",@progbits,startutil_signal_return,"
    "comdat\n\t"
    ".globl startutil_signal_return\n\t"
    ".hidden startutil_signal_return\n\t"
    ".type startutil_signal_return, @function\n"
    "startutil_signal_return:\n\t"
    "movl $173, %eax\n\t"
    "int $0x80\n\t"
    "hlt\n\t"
    ".size startutil_signal_return, . - startutil_signal_return\n\t"
    ".popsection");
inline void* signalRestorer() {
    return reinterpret_cast<void*>(&startutil_signal_return);
}

#else
#error "no raw system calls for this architecture"
#endif

// A system call with up to six arguments of any integer or pointer type; -errno on failure.
template <typename... Args>
long call(long number, Args... args) {
    static_assert(sizeof...(Args) <= 6, "the kernel takes six arguments at most");
    long words[6] = {word(args)...};
    return call6(number, words[0], words[1], words[2], words[3], words[4], words[5]);
}

// The kernel's sigaction, as these architectures lay it out. The C library's own refuses the
// signals it keeps for itself (32, 33).
struct SignalAction {
    void* handler;  // or SIG_DFL (0)
    unsigned long flags;
#ifndef __riscv
    void* restorer;  // riscv's has no such field
#endif
    unsigned long mask[8 / sizeof(unsigned long)];  // signals 1..64, one bit each, in words
};
// The kernel reads the fields one word after another. A mask aligned wider than a word would
// leave a gap it does not read (a uint64_t on armhf, at 16 bytes where the kernel reads 12).
static_assert(sizeof(SignalAction::mask) == 8);
static_assert(std::has_unique_object_representations_v<SignalAction>, "padding in SignalAction");

// A handler that runs with every signal blocked, on the stack it interrupts.
inline SignalAction handlerAction(void (*handler)(int)) {
    SignalAction action{};
    action.handler = reinterpret_cast<void*>(handler);
    action.flags = kHandlerFlags;
#ifndef __riscv
    action.restorer = signalRestorer();
#endif
    for (unsigned long& bits : action.mask) bits = ~0UL;
    return action;
}

inline long setSignalAction(int signal, const SignalAction& action) {
    return call(SYS_rt_sigaction, signal, &action, nullptr, sizeof action.mask);
}

}  // namespace raw
