// What libgcc's division helpers call on a division by zero. armv7-a has no divide instruction,
// so the library divides through those helpers, and libgcc's own handler would raise SIGFPE
// through the C library's raise: an import no other architecture has. These stop the process
// where it is, as a fault would, with no call into the C library.

// NOLINTBEGIN(bugprone-reserved-identifier): the names libgcc's helpers call
extern "C" __attribute__((visibility("hidden"))) int __aeabi_idiv0(int) {
    __builtin_trap();
}

extern "C" __attribute__((visibility("hidden"))) long long __aeabi_ldiv0(long long) {
    __builtin_trap();
}
// NOLINTEND(bugprone-reserved-identifier)
