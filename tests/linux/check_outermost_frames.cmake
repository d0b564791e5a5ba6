# Fails unless LIBRARY's unwind tables mark the first frame of each process it starts in the
# caller's memory, and the reaping thread's (the three clone trampolines), as the outermost, its
# return address undefined: else a debugger walks from the child's function on into the caller's
# frames. The marks are in .eh_frame, or on 32-bit Arm, whose compilers write no DWARF unwind
# tables without -g, in the .debug_frame entries the trampolines write themselves.
cmake_minimum_required(VERSION 3.25)
execute_process(COMMAND "${READELF}" --debug-dump=frames "${LIBRARY}"
                OUTPUT_VARIABLE frames COMMAND_ERROR_IS_FATAL ANY)
if(NOT frames MATCHES "Return address column: ([0-9]+)")
  message(FATAL_ERROR "no unwind tables in ${LIBRARY}")
endif()
# readelf names the register after its number where it knows a name (x86_64's "r16 (rip)").
string(REGEX MATCHALL "DW_CFA_undefined: r${CMAKE_MATCH_1}[ \n]" outermost "${frames}")
list(LENGTH outermost count)
if(NOT count EQUAL 3)
  message(FATAL_ERROR "${count} frames with no return address in ${LIBRARY}, expected 3 (the "
                      "intermediate's, the program's process's and the reaping thread's first "
                      "frames)")
endif()
