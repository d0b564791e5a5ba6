# Assembles StartUtil-<VERSION>.jar (the classes with their module descriptor, one folder per
# system with its library, native-image metadata), StartUtil-<VERSION>-sources.jar and
# StartUtil-<VERSION>-javadoc.jar in DIST_DIR from the Java sources in SOURCE_DIR, and lays the
# same three out as a Maven repository in DIST_DIR/maven (maven_layout.cmake, which takes URL,
# SCM_URL and ISSUES_URL). PACKED lists folder=library entries separated by "|". LICENSE goes
# into every jar as META-INF/LICENSE.
#
# The jars are reproducible: their bytes depend on the sources, the libraries and the time of the
# last commit (SOURCE_DATE_EPOCH, if set, overrides it), not on the folder, clock or user.
cmake_minimum_required(VERSION 3.25)
include("${CMAKE_CURRENT_LIST_DIR}/maven_layout.cmake")

set(_name "StartUtil-${VERSION}")
set(_jar "${DIST_DIR}/${_name}.jar")
string(REPLACE "|" ";" _packed "${PACKED}")

file(GLOB_RECURSE _java_sources "${SOURCE_DIR}/velquon/*.java")
list(PREPEND _java_sources "${SOURCE_DIR}/module-info.java")
file(GLOB _packaging "${CMAKE_CURRENT_LIST_DIR}/*.in" "${CMAKE_CURRENT_LIST_DIR}/*.cmake")
set(_inputs ${_java_sources} ${_packaging} "${CLASSES_JAR}" "${JAR_WRITER}" "${LICENSE}")
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

# Every entry of every jar carries the time of the last commit, so that two clones of one commit
# give the same bytes; outside a git checkout, the earliest time a jar can hold.
set(_epoch "$ENV{SOURCE_DATE_EPOCH}")
if(_epoch STREQUAL "")
  execute_process(COMMAND git -C "${SOURCE_DIR}" log -1 --format=%ct
                  OUTPUT_VARIABLE _epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
if(NOT _epoch MATCHES "^[0-9]+$" OR _epoch LESS 315532800)
  set(_epoch 315532800)
endif()

# The main jar is written last, so it stands for all three. The commit time and the POM's links
# are no files: a stamp beside the jars keeps each, and a changed one remakes them all.
set(_links "${URL}|${SCM_URL}|${ISSUES_URL}")
set(_outdated FALSE)
foreach(_stamp epoch links)
  set(_stamped "")
  if(EXISTS "${DIST_DIR}/.${_name}.${_stamp}")
    file(READ "${DIST_DIR}/.${_name}.${_stamp}" _stamped)
  endif()
  if(NOT "${_stamped}" STREQUAL "${_${_stamp}}")
    set(_outdated TRUE)
  endif()
endforeach()
foreach(_input IN LISTS _inputs)
  if(NOT EXISTS "${_jar}" OR "${_input}" IS_NEWER_THAN "${_jar}")
    set(_outdated TRUE)
  endif()
endforeach()
if(NOT _outdated)
  return()
endif()

function(run)
  execute_process(COMMAND ${ARGN} COMMAND_ERROR_IS_FATAL ANY)
endfunction()

set(_stage "${DIST_DIR}/.${_name}")
file(REMOVE_RECURSE "${_stage}")
file(MAKE_DIRECTORY "${_stage}/main" "${_stage}/sources" "${_stage}/javadoc"
                    "${_stage}/license/META-INF")

# The classes jar from add_jar is taken apart: its manifest and entry times are the build's.
file(ARCHIVE_EXTRACT INPUT "${CLASSES_JAR}" DESTINATION "${_stage}/main")
file(REMOVE_RECURSE "${_stage}/main/META-INF")
set(_resources "")
foreach(_entry IN LISTS _packed)
  string(REGEX MATCH "^([^=]+)=(.+)$" _ "${_entry}")
  file(COPY "${CMAKE_MATCH_2}" DESTINATION "${_stage}/main/${CMAKE_MATCH_1}")
  get_filename_component(_file "${CMAKE_MATCH_2}" NAME)
  list(APPEND _resources "    {\"pattern\": \"\\\\Q${CMAKE_MATCH_1}/${_file}\\\\E\"}")
endforeach()
# native-image keeps only the resources it is told of; the loader reads nothing else by name.
list(SORT _resources)
string(REPLACE ";" ",\n" _resources "${_resources}")
file(WRITE "${_stage}/main/META-INF/native-image/${GROUP}/${ARTIFACT}/resource-config.json"
  "{\n  \"resources\": {\"includes\": [\n${_resources}\n  ]},\n  \"bundles\": []\n}\n")

# native-image lets JNI look up only the methods it is told of: the two the library calls back.
file(WRITE "${_stage}/main/META-INF/native-image/${GROUP}/${ARTIFACT}/jni-config.json"
  "[\n  {\"name\": \"velquon.zy.drav.sdk.util.ServerStartUtility\", \"methods\": [\n"
  "    {\"name\": \"quietLaunch\", \"parameterTypes\": []},\n"
  "    {\"name\": \"launchOutcome\", \"parameterTypes\": [\"long\", \"byte[]\", \"long\"]}\n"
  "  ]}\n]\n")

file(WRITE "${_stage}/MANIFEST.MF"
  "Manifest-Version: 1.0\n"
  "Implementation-Title: StartUtil\n"
  "Implementation-Version: ${VERSION}\n")

file(COPY_FILE "${LICENSE}" "${_stage}/license/META-INF/LICENSE")

file(COPY "${SOURCE_DIR}/velquon" "${SOURCE_DIR}/module-info.java"
     DESTINATION "${_stage}/sources")
run("${JAVADOC}" -quiet --release 11 -Xdoclint:all -Werror -notimestamp -d "${_stage}/javadoc"
    ${_java_sources})

foreach(_kind main sources javadoc)
  run("${JAVA}" -cp "${JAR_WRITER}" ReproducibleJar "${_stage}/${_kind}.jar" ${_epoch}
      "${_stage}/MANIFEST.MF" "${_stage}/${_kind}" "${_stage}/license")
endforeach()

set(ENV{SOURCE_DATE_EPOCH} "${_epoch}")
maven_layout(${DIST_DIR}/maven ${_stage}/main.jar ${_stage}/sources.jar ${_stage}/javadoc.jar)

file(RENAME "${_stage}/sources.jar" "${DIST_DIR}/${_name}-sources.jar")
file(RENAME "${_stage}/javadoc.jar" "${DIST_DIR}/${_name}-javadoc.jar")
file(RENAME "${_stage}/main.jar" "${_jar}")
foreach(_stamp epoch links)
  file(WRITE "${DIST_DIR}/.${_name}.${_stamp}" "${_${_stamp}}")
endforeach()
file(REMOVE_RECURSE "${_stage}")
