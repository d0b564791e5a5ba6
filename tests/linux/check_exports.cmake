# Fails unless LIBRARY defines exactly the two JNI entry points among its dynamic symbols, needs
# no shared library but libc.so.6, asks for no glibc symbol version newer than CEILING (2.17, or
# the architecture's first glibc where that came later), and imports nothing but what IMPORTS
# lists (libc_imports.txt), so that it loads into any JVM on any glibc still in service and on
# musl.
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

set(ceiling "${CEILING}")
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

# The imports, against the list of what glibc and musl both have with the same meaning.
file(STRINGS "${IMPORTS}" lines REGEX "^[^#]")
set(allowed "")
set(allowed_weak "")
foreach(line IN LISTS lines)
  if(line MATCHES "^weak +([^ ]+)")
    list(APPEND allowed_weak "${CMAKE_MATCH_1}")
  elseif(line MATCHES "^([^ ]+)")
    list(APPEND allowed "${CMAKE_MATCH_1}")
  endif()
endforeach()
# What no line may ever allow: each exists on glibc alone or means something else there.
foreach(name IN LISTS allowed allowed_weak)
  if(name MATCHES "^(clone|strerror_r|__getauxval|getauxval|gnu_get_libc_version|__.*_chk)$")
    message(FATAL_ERROR "${IMPORTS} allows ${name}, which glibc and musl do not share")
  endif()
endforeach()
execute_process(COMMAND nm -D --undefined-only "${LIBRARY}"
                OUTPUT_VARIABLE undefined COMMAND_ERROR_IS_FATAL ANY)
string(REGEX MATCHALL "[^\n]+" undefined_lines "${undefined}")
set(imports "")
set(unlisted "")
foreach(line IN LISTS undefined_lines)
  if(NOT line MATCHES "^ *([A-Za-z]) ([^@ ]+)")
    message(FATAL_ERROR "unreadable line of nm: ${line}")
  endif()
  set(kind "${CMAKE_MATCH_1}")
  set(name "${CMAKE_MATCH_2}")
  list(APPEND imports "${name}")
  if(NOT name IN_LIST allowed AND NOT (kind STREQUAL "w" AND name IN_LIST allowed_weak))
    list(APPEND unlisted "${kind} ${name}")
  endif()
endforeach()
if(unlisted)
  list(JOIN unlisted "\n  " unlisted)
  message(FATAL_ERROR "imports not in ${IMPORTS} (extend it on purpose, saying why each is "
                      "safe on glibc 2.17 and musl 1.2):\n  ${unlisted}")
endif()
message(STATUS "NEEDED: ${needed}; glibc versions: ${versions}; imports: ${imports}")
