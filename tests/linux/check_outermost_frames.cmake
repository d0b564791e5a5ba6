# Fails unless LIBRARY's unwind tables mark the first frame of each process it starts in the
# caller's memory (the two clone trampolines) as the outermost, with no return address: else a
# debugger walks from the child's function on into the caller's frames.
cmake_minimum_required(VERSION 3.25)
execute_process(COMMAND "${READELF}" --debug-dump=frames-interp "${LIBRARY}"
                OUTPUT_VARIABLE frames COMMAND_ERROR_IS_FATAL ANY)
# A row whose last column, the return address, is "u": undefined.
string(REGEX MATCHALL "\n[0-9a-f]+ [^\n]* u *(\n|$)" outermost "${frames}")
list(LENGTH outermost count)
if(NOT count EQUAL 2)
  message(FATAL_ERROR "${count} frames with no return address in ${LIBRARY}, expected 2 (the "
                      "intermediate's and the program's process's first frames)")
endif()
