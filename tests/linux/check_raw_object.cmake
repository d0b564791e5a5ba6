# Fails unless OBJECT defines SYMBOL and has no undefined symbol: what runs in the caller's memory
# without C library state of its own (before exec, or on the reaping thread) may call nothing but
# the kernel, so no C library function, no memcpy the compiler made of a loop, no stack protector
# or sanitizer hook.
cmake_minimum_required(VERSION 3.25)
execute_process(COMMAND "${NM}" --undefined-only "${OBJECT}"
                OUTPUT_VARIABLE undefined COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND "${NM}" -C --defined-only "${OBJECT}"
                OUTPUT_VARIABLE defined COMMAND_ERROR_IS_FATAL ANY)
if(NOT defined MATCHES "${SYMBOL}")
  message(FATAL_ERROR "${OBJECT} does not define ${SYMBOL}: not the object meant")
endif()
# ppc64's TOC base and i386's global offset table, which the linker defines, are addresses the
# code computes, not calls.
string(REGEX REPLACE "[^\n]* U (\\.TOC\\.|_GLOBAL_OFFSET_TABLE_)\n?" "" undefined "${undefined}")
string(STRIP "${undefined}" undefined)
if(undefined)
  message(FATAL_ERROR "${OBJECT} calls outside itself:\n${undefined}")
endif()
