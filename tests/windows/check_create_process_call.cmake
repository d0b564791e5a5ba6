# What reached CreateProcessW, from Wine's relay trace of the launch driver: which parameter
# carries the text and how it is quoted, no handle inheritance, the creation flags, no
# environment or directory of its own, and no call at all for a null string or for a command
# line longer than CreateProcessW takes (32,767 units with the terminator; a path counts with
# the quotes it is given). The programs do
# not exist, so the calls fail and no child is left behind.
#   cmake -DWINE=... -DWINEPREFIX=... -DDRIVER=... -P check_create_process_call.cmake
# Or from a trace taken elsewhere (Wine in the emulated arm64 machine), whose driver ran the same
# sequence with the texts given:
#   cmake -DTRACE=file -DPROGRAM_PATH=... -DCOMMAND_LINE=... -P check_create_process_call.cmake
cmake_minimum_required(VERSION 3.25)

set(_program_path [[C:\no such dir\missing.exe]])
set(_command_line [[missing-program.exe --flag "two words"]])
if(DEFINED TRACE)
  set(_program_path "${PROGRAM_PATH}")
  set(_command_line "${COMMAND_LINE}")
  execute_process(COMMAND grep -a "Call [A-Za-z0-9]*[.]CreateProcessW(" "${TRACE}"
                  OUTPUT_VARIABLE _trace RESULT_VARIABLE _result)
else()
  # The driver's stdout (the echoes) is dropped; the trace goes to stderr and only the calls are
  # kept: the whole trace runs to megabytes.
  execute_process(
    COMMAND ${CMAKE_COMMAND} -E env WINEPREFIX=${WINEPREFIX} WINEDEBUG=+relay
            WINEDLLOVERRIDES=mscoree,mshtml=
            sh -c "\"$0\" \"$1\" 1 \"$2\" 2 --null 2 --long=32767 1 --long=32765 2 \"$3\" 2>&1 >/dev/null | grep -a 'Call [A-Za-z0-9]*[.]CreateProcessW('"
            ${WINE} ${DRIVER} ${_program_path} ${_command_line}
    OUTPUT_VARIABLE _trace
    RESULT_VARIABLE _result
    TIMEOUT 60)
endif()
if(NOT _result EQUAL 0)
  message(FATAL_ERROR "no CreateProcessW call in the trace (grep: ${_result})")
endif()

string(REGEX REPLACE "\n$" "" _trace "${_trace}")
string(REPLACE ";" "\\;" _trace "${_trace}")
string(REPLACE "\n" ";" _calls "${_trace}")
list(LENGTH _calls _count)
if(NOT _count EQUAL 2)
  message(FATAL_ERROR "expected two CreateProcessW calls (none for the null string or the long lines), got ${_count}:\n${_trace}")
endif()

# Splits one traced call into its ten arguments: a pointer, then ` L"text"` for a string.
function(parse_call line out_prefix)
  if(NOT line MATCHES "CreateProcessW\\((.*)\\) ret=")
    message(FATAL_ERROR "unexpected trace line: ${line}")
  endif()
  set(_rest "${CMAKE_MATCH_1}")
  foreach(_name application command_line)
    if(NOT _rest MATCHES "^([0-9a-f]+)( L\"(([^\"\\\\]|\\\\.)*)\")?,(.*)$")
      message(FATAL_ERROR "cannot read the ${_name} argument of: ${line}")
    endif()
    set(${out_prefix}_${_name}_pointer "${CMAKE_MATCH_1}" PARENT_SCOPE)
    set(_text "${CMAKE_MATCH_3}")
    set(_rest "${CMAKE_MATCH_5}")
    string(REPLACE "\\\\" "\\" _text "${_text}")
    string(REPLACE "\\\"" "\"" _text "${_text}")
    set(${out_prefix}_${_name} "${_text}" PARENT_SCOPE)
  endforeach()
  string(REPLACE "," ";" _rest "${_rest}")
  list(LENGTH _rest _n)
  if(NOT _n EQUAL 8)
    message(FATAL_ERROR "expected ten arguments: ${line}")
  endif()
  list(GET _rest 2 _inherit)
  list(GET _rest 3 _flags)
  list(GET _rest 4 _environment)
  list(GET _rest 5 _directory)
  # Whole 64-bit registers are printed: a BOOL and a DWORD are their low 32 bits.
  foreach(_name inherit flags)
    string(LENGTH "00000000${_${_name}}" _length)
    math(EXPR _from "${_length} - 8")
    string(SUBSTRING "00000000${_${_name}}" ${_from} 8 _low)
    set(${out_prefix}_${_name} "${_low}" PARENT_SCOPE)
  endforeach()
  set(${out_prefix}_environment "${_environment}" PARENT_SCOPE)
  set(${out_prefix}_directory "${_directory}" PARENT_SCOPE)
endfunction()

# Functions, not macros: a macro would read the backslashes in the paths as escapes.
set(_failures "")
function(expect what actual expected)
  if(NOT actual STREQUAL expected)
    set(_failures "${_failures}${what}: got [${actual}], expected [${expected}]\n" PARENT_SCOPE)
  endif()
endfunction()
function(expect_null what actual)
  if(NOT actual MATCHES "^0+$")
    set(_failures "${_failures}${what}: got ${actual}, expected a null pointer\n" PARENT_SCOPE)
  endif()
endfunction()

list(GET _calls 0 _line)
parse_call("${_line}" path)
expect("program path: application name" "${path_application}" "${_program_path}")
expect("program path: command line" "${path_command_line}" "\"${_program_path}\"")

list(GET _calls 1 _line)
parse_call("${_line}" line)
expect_null("command line: application name" "${line_application_pointer}")
expect("command line: command line" "${line_command_line}" "${_command_line}")

foreach(_mode path line)
  expect("${_mode}: inherit handles" "${${_mode}_inherit}" "00000000")
  expect("${_mode}: creation flags" "${${_mode}_flags}" "08000200")
  expect_null("${_mode}: environment" "${${_mode}_environment}")
  expect_null("${_mode}: current directory" "${${_mode}_directory}")
endforeach()

if(_failures)
  message(FATAL_ERROR "CreateProcessW was not called as expected:\n${_failures}\ntrace:\n${_trace}")
endif()
message(STATUS "both CreateProcessW calls as expected, none for the null string or the long lines")
