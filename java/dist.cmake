# Assembles StartUtil-<VERSION>.jar (the classes, one folder per system with its library, a
# manifest), StartUtil-<VERSION>-sources.jar and StartUtil-<VERSION>-javadoc.jar in DIST_DIR.
# PACKED lists folder=library entries separated by "|".
cmake_minimum_required(VERSION 3.25)

set(_name "StartUtil-${VERSION}")
set(_jar "${DIST_DIR}/${_name}.jar")
string(REPLACE "|" ";" _packed "${PACKED}")

file(GLOB_RECURSE _inputs "${SOURCE_DIR}/velquon/*.java")
list(APPEND _inputs "${CLASSES_JAR}" "${CMAKE_CURRENT_LIST_FILE}")
foreach(_entry IN LISTS _packed)
  string(REGEX MATCH "^([^=]+)=(.+)$" _ "${_entry}")
  set(_folder "${CMAKE_MATCH_1}")
  set(_library "${CMAKE_MATCH_2}")
  if(NOT EXISTS "${_library}")
    # Each preset builds into build/<preset>/.
    string(REGEX MATCH "/build/([^/]+)/[^/]+/[^/]+$" _ "${_library}")
    message(FATAL_ERROR "${_name}.jar needs ${_library} for ${_folder}: build the "
                        "${CMAKE_MATCH_1} preset first:\n"
                        "  cmake --preset ${CMAKE_MATCH_1} && "
                        "cmake --build --preset ${CMAKE_MATCH_1}")
  endif()
  list(APPEND _inputs "${_library}")
endforeach()

# The main jar is written last, so it stands for all three.
set(_outdated FALSE)
foreach(_input IN LISTS _inputs)
  if(NOT EXISTS "${_jar}" OR "${_input}" IS_NEWER_THAN "${_jar}")
    set(_outdated TRUE)
  endif()
endforeach()
if(NOT _outdated)
  return()
endif()

set(_stage "${DIST_DIR}/.${_name}")
file(REMOVE_RECURSE "${_stage}")
file(MAKE_DIRECTORY "${_stage}/natives" "${_stage}/javadoc")
foreach(_entry IN LISTS _packed)
  string(REGEX MATCH "^([^=]+)=(.+)$" _ "${_entry}")
  file(COPY "${CMAKE_MATCH_2}" DESTINATION "${_stage}/natives/${CMAKE_MATCH_1}")
endforeach()
file(WRITE "${_stage}/MANIFEST.MF"
  "Automatic-Module-Name: velquon.zy.drav.sdk.util\n"
  "Implementation-Title: StartUtil\n"
  "Implementation-Version: ${VERSION}\n")

function(run)
  execute_process(COMMAND ${ARGN} COMMAND_ERROR_IS_FATAL ANY)
endfunction()

file(COPY_FILE "${CLASSES_JAR}" "${_stage}/main.jar")
run("${JAR}" --update --file "${_stage}/main.jar" --manifest "${_stage}/MANIFEST.MF"
    -C "${_stage}/natives" .)
run("${JAR}" --create --file "${_stage}/sources.jar" -C "${SOURCE_DIR}" velquon)
run("${JAVADOC}" -quiet --release 11 -Xdoclint:all -Werror -d "${_stage}/javadoc"
    -sourcepath "${SOURCE_DIR}" velquon.zy.drav.sdk.util)
run("${JAR}" --create --file "${_stage}/javadoc.jar" -C "${_stage}/javadoc" .)

file(RENAME "${_stage}/sources.jar" "${DIST_DIR}/${_name}-sources.jar")
file(RENAME "${_stage}/javadoc.jar" "${DIST_DIR}/${_name}-javadoc.jar")
file(RENAME "${_stage}/main.jar" "${_jar}")
file(REMOVE_RECURSE "${_stage}")
