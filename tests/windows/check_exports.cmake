# StartUtil.dll's tables as the VM's loader sees them: exactly the two JNI functions, undecorated,
# at ordinals 1 and 2, under the module name StartUtil.dll, importing only KERNEL32 and msvcrt,
# with no C++ runtime linked in.
#   cmake -DOBJDUMP=... -DDLL=... -P check_exports.cmake
cmake_minimum_required(VERSION 3.25)

execute_process(COMMAND ${OBJDUMP} -p ${DLL} OUTPUT_VARIABLE _dump RESULT_VARIABLE _result)
if(NOT _result EQUAL 0)
  message(FATAL_ERROR "objdump -p ${DLL} failed (${_result})")
endif()

set(_failures "")
set(_prefix "Java_velquon_zy_drav_sdk_util_ServerStartUtility_")

if(NOT _dump MATCHES "\nName[ \t]+[0-9a-f]+ ([^\n]*)\n" OR NOT CMAKE_MATCH_1 STREQUAL "StartUtil.dll")
  string(APPEND _failures "export directory name is [${CMAKE_MATCH_1}], expected StartUtil.dll\n")
endif()
if(NOT _dump MATCHES "Ordinal Base[ \t]+1\n")
  string(APPEND _failures "ordinal base is not 1\n")
endif()

# The name table, as `[index] name` with the index counted from the ordinal base.
string(REGEX MATCH "\\[Ordinal/Name Pointer\\] Table\n(([ \t]+\\[[ 0-9]+\\] [^\n]*\n)*)" _table "${_dump}")
string(REGEX MATCHALL "\\[[ 0-9]+\\] [^\n]*" _entries "${CMAKE_MATCH_1}")
set(_expected "[   0] ${_prefix}invokeNonBlockingCommand"
              "[   1] ${_prefix}invokeNonBlockingCommandWithArgs")
if(NOT "${_entries}" STREQUAL "${_expected}")
  string(APPEND _failures "exports are [${_entries}], expected [${_expected}]\n")
endif()
if(NOT _dump MATCHES "Export Address Table[ \t]+00000002\n")
  string(APPEND _failures "the export address table does not hold exactly two entries\n")
endif()

string(REGEX MATCHALL "DLL Name: [^\n]*" _imports "${_dump}")
if(NOT "${_imports}" STREQUAL "DLL Name: KERNEL32.dll;DLL Name: msvcrt.dll")
  string(APPEND _failures "imports are [${_imports}], expected KERNEL32.dll and msvcrt.dll\n")
endif()

# The C++ runtime is linked statically when anything asks for it (a throwing substr, operator
# new): its exception support alone takes the DLL from under 32 KB past 150 KB.
file(SIZE "${DLL}" _size)
if(_size GREATER 65536)
  string(APPEND _failures "${_size} bytes: something pulled the C++ runtime in\n")
endif()

if(_failures)
  message(FATAL_ERROR "${DLL}:\n${_failures}")
endif()
