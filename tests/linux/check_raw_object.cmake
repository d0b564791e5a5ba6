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
  message(FATAL_ERROR "${OBJECT} does not define runIntermediate: not the object meant")
endif()
# ppc64's TOC base, which its linker defines, is an address the code computes, not a call.
string(REGEX REPLACE "[^\n]* U \\.TOC\\.\n?" "" undefined "${undefined}")
string(STRIP "${undefined}" undefined)
if(undefined)
  message(FATAL_ERROR "${OBJECT} calls outside itself:\n${undefined}")
endif()
