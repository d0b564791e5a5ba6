# Fails unless LIBRARY defines exactly the two JNI entry points among its dynamic symbols, needs
# no shared library but libc.so.6, and asks for no glibc symbol version newer than 2.17, so that
# it loads into any JVM on any glibc still in service.
cmake_minimum_required(VERSION 3.25)
execute_process(COMMAND nm -D --defined-only "${LIBRARY}"
                OUTPUT_VARIABLE symbols COMMAND_ERROR_IS_FATAL ANY)
string(REGEX REPLACE "[^\n]* ([^ \n]+)\n" "\\1;" names "${symbols}")
list(REMOVE_ITEM names "")
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
if(NOT needed STREQUAL "Shared library: [libc.so.6]")
  message(FATAL_ERROR "needs more than libc.so.6: ${needed}")
endif()
if(NOT dynamic MATCHES "BIND_NOW")
  message(FATAL_ERROR "symbols are bound lazily: link with -z now")
endif()

set(ceiling 2.17)
execute_process(COMMAND readelf --dyn-syms -W "${LIBRARY}"
                OUTPUT_VARIABLE dynamic_symbols COMMAND_ERROR_IS_FATAL ANY)
string(REGEX MATCHALL "@GLIBC_[0-9.]+" versions "${dynamic_symbols}")
list(REMOVE_DUPLICATES versions)
foreach(version IN LISTS versions)
  string(REPLACE "@GLIBC_" "" number "${version}")
  if(number VERSION_GREATER ceiling)
    message(FATAL_ERROR "needs glibc ${number}, newer than ${ceiling}")
  endif()
endforeach()
message(STATUS "NEEDED: ${needed}; glibc versions: ${versions}")
