# Assembles StartUtil-<VERSION>.jar (the classes with their module descriptor, one folder per
# system with its library, native-image metadata), StartUtil-<VERSION>-sources.jar and
# StartUtil-<VERSION>-javadoc.jar in DIST_DIR, and lays the same three out with their POM as a
# Maven repository in DIST_DIR/maven. PACKED lists folder=library entries separated by "|".
# LICENSE goes into every jar as META-INF/LICENSE. The POM names the project's web page, source
# repository and issue tracker when URL, SCM_URL and ISSUES_URL are given.
#
# The jars are reproducible: their bytes depend on the sources, the libraries and the time of the
# last commit (SOURCE_DATE_EPOCH, if set, overrides it), not on the folder, clock or user.
cmake_minimum_required(VERSION 3.25)

set(_name "StartUtil-${VERSION}")
set(_jar "${DIST_DIR}/${_name}.jar")
set(_group velquon.zy.drav.sdk)
set(_artifact startutil)
string(REPLACE "." "/" _group_path "${_group}")
set(_artifact_dir "${DIST_DIR}/maven/${_group_path}/${_artifact}")
string(REPLACE "|" ";" _packed "${PACKED}")

file(GLOB_RECURSE _java_sources "${SOURCE_DIR}/velquon/*.java")
list(PREPEND _java_sources "${SOURCE_DIR}/module-info.java")
set(_inputs ${_java_sources} "${CLASSES_JAR}" "${JAR_WRITER}" "${SOURCE_DIR}/pom.xml.in"
            "${LICENSE}" "${CMAKE_CURRENT_LIST_FILE}")
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

# The main jar is written last, so it stands for all three; a new commit time remakes them all.
set(_epoch_stamp "${DIST_DIR}/.${_name}.epoch")
set(_outdated FALSE)
if(EXISTS "${_epoch_stamp}")
  file(READ "${_epoch_stamp}" _stamped)
  if(NOT _stamped STREQUAL _epoch)
    set(_outdated TRUE)
  endif()
endif()
foreach(_input IN LISTS _inputs)
  if(NOT EXISTS "${_jar}" OR "${_input}" IS_NEWER_THAN "${_jar}")
    set(_outdated TRUE)
  endif()
endforeach()
# The POM's links are settings, not files: a changed one remakes the layout too.
set(_links_stamp "${DIST_DIR}/.${_name}.links")
set(_links "${URL}|${SCM_URL}|${ISSUES_URL}")
if(NOT EXISTS "${_links_stamp}")
  set(_outdated TRUE)
else()
  file(READ "${_links_stamp}" _stamped)
  if(NOT _stamped STREQUAL _links)
    set(_outdated TRUE)
  endif()
endif()
if(NOT _outdated)
  return()
endif()

function(run)
  execute_process(COMMAND ${ARGN} COMMAND_ERROR_IS_FATAL ANY)
endfunction()

set(_stage "${DIST_DIR}/.${_name}")
file(REMOVE_RECURSE "${_stage}")
file(MAKE_DIRECTORY "${_stage}/classes" "${_stage}/sources" "${_stage}/javadoc"
                    "${_stage}/license/META-INF")

# The classes jar from add_jar is taken apart: its manifest and entry times are the build's.
file(ARCHIVE_EXTRACT INPUT "${CLASSES_JAR}" DESTINATION "${_stage}/classes")
file(REMOVE_RECURSE "${_stage}/classes/META-INF")
set(_resources "")
foreach(_entry IN LISTS _packed)
  string(REGEX MATCH "^([^=]+)=(.+)$" _ "${_entry}")
  file(COPY "${CMAKE_MATCH_2}" DESTINATION "${_stage}/classes/${CMAKE_MATCH_1}")
  get_filename_component(_file "${CMAKE_MATCH_2}" NAME)
  list(APPEND _resources "    {\"pattern\": \"\\\\Q${CMAKE_MATCH_1}/${_file}\\\\E\"}")
endforeach()
# native-image keeps only the resources it is told of; the loader reads nothing else by name.
list(SORT _resources)
string(REPLACE ";" ",\n" _resources "${_resources}")
file(WRITE "${_stage}/classes/META-INF/native-image/${_group}/${_artifact}/resource-config.json"
  "{\n  \"resources\": {\"includes\": [\n${_resources}\n  ]},\n  \"bundles\": []\n}\n")

# native-image lets JNI look up only the methods it is told of: the two the library calls back.
file(WRITE "${_stage}/classes/META-INF/native-image/${_group}/${_artifact}/jni-config.json"
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
  set(_folder "${_stage}/${_kind}")
  if(_kind STREQUAL "main")
    set(_folder "${_stage}/classes")
  endif()
  run("${JAVA}" -cp "${JAR_WRITER}" ReproducibleJar "${_stage}/${_kind}.jar" ${_epoch}
      "${_stage}/MANIFEST.MF" "${_folder}" "${_stage}/license")
endforeach()

# The Maven repository layout, as a deploy to a file: repository writes it: each file with its
# SHA-1 and MD5 beside it, and the artifact's metadata one level up.
set(_version_dir "${_artifact_dir}/${VERSION}")
set(_base "${_version_dir}/${_artifact}-${VERSION}")
file(REMOVE_RECURSE "${_artifact_dir}")
file(MAKE_DIRECTORY "${_version_dir}")
# Each link that is set becomes its element; without them the POM has none of these.
function(xml_text variable text)
  string(REPLACE "&" "&amp;" text "${text}")
  string(REPLACE "<" "&lt;" text "${text}")
  set(${variable} "${text}" PARENT_SCOPE)
endfunction()
foreach(_link POM_URL POM_ORGANIZATION_URL POM_SCM POM_ISSUES)
  set(${_link} "")
endforeach()
if(URL)
  xml_text(_url "${URL}")
  set(POM_URL "\n  <url>${_url}</url>")
  set(POM_ORGANIZATION_URL "\n      <organizationUrl>${_url}</organizationUrl>")
endif()
if(SCM_URL)
  # The repository's clone address; its web page is the same without ".git".
  xml_text(_scm "${SCM_URL}")
  string(REGEX REPLACE "\\.git$" "" _web "${_scm}")
  string(CONCAT POM_SCM "\n  <scm>\n    <url>${_web}</url>\n"
         "    <connection>scm:git:${_scm}</connection>\n"
         "    <developerConnection>scm:git:${_scm}</developerConnection>\n  </scm>")
endif()
if(ISSUES_URL)
  xml_text(_issues "${ISSUES_URL}")
  set(POM_ISSUES "\n  <issueManagement>\n    <url>${_issues}</url>\n  </issueManagement>")
endif()
configure_file("${SOURCE_DIR}/pom.xml.in" "${_base}.pom" @ONLY)
file(COPY_FILE "${_stage}/main.jar" "${_base}.jar")
file(COPY_FILE "${_stage}/sources.jar" "${_base}-sources.jar")
file(COPY_FILE "${_stage}/javadoc.jar" "${_base}-javadoc.jar")
set(ENV{SOURCE_DATE_EPOCH} "${_epoch}")
string(TIMESTAMP _updated "%Y%m%d%H%M%S" UTC)
file(WRITE "${_artifact_dir}/maven-metadata.xml"
  "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
  "<metadata>\n"
  "  <groupId>${_group}</groupId>\n"
  "  <artifactId>${_artifact}</artifactId>\n"
  "  <versioning>\n"
  "    <latest>${VERSION}</latest>\n"
  "    <release>${VERSION}</release>\n"
  "    <versions>\n"
  "      <version>${VERSION}</version>\n"
  "    </versions>\n"
  "    <lastUpdated>${_updated}</lastUpdated>\n"
  "  </versioning>\n"
  "</metadata>\n")
foreach(_file "${_base}.pom" "${_base}.jar" "${_base}-sources.jar" "${_base}-javadoc.jar"
              "${_artifact_dir}/maven-metadata.xml")
  foreach(_algorithm SHA1 MD5)
    file(${_algorithm} "${_file}" _sum)
    string(TOLOWER "${_algorithm}" _extension)
    file(WRITE "${_file}.${_extension}" "${_sum}")
  endforeach()
endforeach()

file(RENAME "${_stage}/sources.jar" "${DIST_DIR}/${_name}-sources.jar")
file(RENAME "${_stage}/javadoc.jar" "${DIST_DIR}/${_name}-javadoc.jar")
file(RENAME "${_stage}/main.jar" "${_jar}")
file(WRITE "${_epoch_stamp}" "${_epoch}")
file(WRITE "${_links_stamp}" "${_links}")
file(REMOVE_RECURSE "${_stage}")
