# Assembles the dist jars a second time, from a copy of java/ in another folder, later, in another
# time zone, and compares every file with the first assembly in DIST_DIR byte for byte. The
# libraries come from the same preset builds: checked here for what would make a build in
# another folder differ (its path in the binary, a link time in the DLL's header).
cmake_minimum_required(VERSION 3.25)

set(_second "${WORK}/second clone")
file(REMOVE_RECURSE "${_second}")
file(COPY "${SOURCE_DIR}" DESTINATION "${_second}")
get_filename_component(_java "${SOURCE_DIR}" NAME)

# A copy is no git checkout: it is given the commit time the first assembly used.
file(READ "${DIST_DIR}/.StartUtil-${VERSION}.epoch" _epoch)
set(ENV{SOURCE_DATE_EPOCH} "${_epoch}")
set(ENV{TZ} "Pacific/Kiritimati")
execute_process(
  COMMAND "${CMAKE_COMMAND}" -DVERSION=${VERSION} "-DDIST_DIR=${_second}/dist"
          "-DCLASSES_JAR=${CLASSES_JAR}" "-DSOURCE_DIR=${_second}/${_java}" "-DPACKED=${PACKED}"
          "-DJAR_WRITER=${JAR_WRITER}" "-DJAVA=${JAVA}" "-DJAVADOC=${JAVADOC}" "-DLICENSE=${LICENSE}"
          -P "${PROJECT_DIR}/packaging/jar.cmake"
  COMMAND_ERROR_IS_FATAL ANY)

file(GLOB_RECURSE _first RELATIVE "${DIST_DIR}" "${DIST_DIR}/StartUtil-${VERSION}*.jar"
     "${DIST_DIR}/maven/*")
file(GLOB_RECURSE _again RELATIVE "${_second}/dist" "${_second}/dist/*")
list(FILTER _again EXCLUDE REGEX "^\\.")
list(SORT _first)
list(SORT _again)
if(NOT _first STREQUAL _again)
  message(FATAL_ERROR "the assemblies hold different files:\n  ${_first}\n  ${_again}")
endif()
set(_differ "")
foreach(_file IN LISTS _first)
  file(SHA256 "${DIST_DIR}/${_file}" _one)
  file(SHA256 "${_second}/dist/${_file}" _two)
  if(NOT _one STREQUAL _two)
    list(APPEND _differ "${_file}")
  endif()
endforeach()
if(_differ)
  message(FATAL_ERROR "assembled again, these differ: ${_differ}")
endif()
list(LENGTH _first _count)
message(STATUS "${_count} files identical")

string(REPLACE "|" ";" _packed "${PACKED}")
string(REGEX REPLACE "([][+.*()^$?|\\])" "\\\\\\1" _project_pattern "${PROJECT_DIR}")
foreach(_entry IN LISTS _packed)
  string(REGEX REPLACE "^[^=]+=" "" _library "${_entry}")
  file(STRINGS "${_library}" _paths REGEX "${_project_pattern}")
  if(_paths)
    message(FATAL_ERROR "${_library} names the folder it was built in: ${_paths}")
  endif()
  if(_library MATCHES "\\.dll$")
    # TimeDateStamp: 8 bytes into the PE header, whose offset is at 0x3c.
    file(READ "${_library}" _offset OFFSET 60 LIMIT 4 HEX)
    string(REGEX REPLACE "(..)(..)(..)(..)" "0x\\4\\3\\2\\1" _offset "${_offset}")
    math(EXPR _offset "${_offset} + 8")
    file(READ "${_library}" _stamp OFFSET ${_offset} LIMIT 4 HEX)
    if(NOT _stamp STREQUAL "00000000")
      message(FATAL_ERROR "${_library} carries its link time (${_stamp}) in its PE header")
    endif()
  endif()
endforeach()
