# Fails unless LIBRARY defines exactly the two JNI entry points among its dynamic symbols, and
# needs no shared library beyond the C and C++ runtimes.
execute_process(COMMAND nm -D --defined-only "${LIBRARY}"
                OUTPUT_VARIABLE symbols COMMAND_ERROR_IS_FATAL ANY)
string(REGEX REPLACE "[^\n]* ([^ \n]+)\n" "\\1;" names "${symbols}")
list(SORT names)
set(expected
  Java_velquon_zy_drav_sdk_util_ServerStartUtility_invokeNonBlockingCommand
  Java_velquon_zy_drav_sdk_util_ServerStartUtility_invokeNonBlockingCommandWithArgs)
if(NOT names STREQUAL expected)
  message(FATAL_ERROR "exported: ${names}\nexpected: ${expected}")
endif()

execute_process(COMMAND readelf -d "${LIBRARY}"
                OUTPUT_VARIABLE dynamic COMMAND_ERROR_IS_FATAL ANY)
string(REGEX MATCHALL "Shared library: \\[[^]]+\\]" needed "${dynamic}")
foreach(entry IN LISTS needed)
  if(NOT entry MATCHES "\\[(libc|libm|libstdc\\+\\+|libgcc_s)\\.so\\.[0-9]+\\]")
    message(FATAL_ERROR "needs more than the C and C++ runtimes: ${entry}")
  endif()
endforeach()
