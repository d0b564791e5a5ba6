# Makes a release as a publisher would, with sample settings and a throwaway key in a GNUPGHOME
# of its own: the jars assembled again with the POM's links, then signed by packaging/release.cmake.
# Checks the layout file by file: each artifact with a good signature by that key and the right
# checksums, a POM with every element Maven Central requires and the settings' links in it.
cmake_minimum_required(VERSION 3.25)
include("${PROJECT_DIR}/packaging/central_pom.cmake")

set(_url "https://startutil.example/")
set(_scm "https://git.startutil.example/startutil.git")
set(_issues "https://git.startutil.example/startutil/issues?state=open&sort=new")
set(_home "${WORK}/gnupg")
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")
file(MAKE_DIRECTORY "${_home}")
file(CHMOD "${_home}" DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
set(ENV{GNUPGHOME} "${_home}")

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE _status OUTPUT_VARIABLE _out
                  ERROR_VARIABLE _out)
  if(NOT _status EQUAL 0)
    execute_process(COMMAND "${GPGCONF}" --kill all)
    message(FATAL_ERROR "${ARGN}\nfailed (${_status}):\n${_out}")
  endif()
  set(_run_output "${_out}" PARENT_SCOPE)
endfunction()

# The first assembly's commit time, so that only the POM differs from the everyday layout.
file(READ "${DIST_DIR}/.StartUtil-${VERSION}.epoch" _epoch)
set(ENV{SOURCE_DATE_EPOCH} "${_epoch}")
run("${CMAKE_COMMAND}" -DVERSION=${VERSION} "-DDIST_DIR=${WORK}/dist"
    "-DCLASSES_JAR=${CLASSES_JAR}" "-DSOURCE_DIR=${SOURCE_DIR}" "-DPACKED=${PACKED}"
    "-DJAR_WRITER=${JAR_WRITER}" "-DJAVA=${JAVA}" "-DJAVADOC=${JAVADOC}" "-DLICENSE=${LICENSE}"
    "-DURL=${_url}" "-DSCM_URL=${_scm}" "-DISSUES_URL=${_issues}"
    -P "${PROJECT_DIR}/packaging/jar.cmake")

run("${GPG}" --batch --passphrase "" --quick-gen-key
    "StartUtil release test <release-test@startutil.invalid>" ed25519 sign never)
run("${GPG}" --batch --with-colons --list-secret-keys)
string(REGEX MATCH "\nfpr:+([0-9A-F]+):" _ "${_run_output}")
set(_key "${CMAKE_MATCH_1}")

run("${CMAKE_COMMAND}" -DVERSION=${VERSION} "-DDIST_DIR=${WORK}/dist"
    "-DRELEASE_DIR=${WORK}/release" "-DGPG=${GPG}" "-DURL=${_url}" "-DSCM_URL=${_scm}"
    "-DISSUES_URL=${_issues}" "-DSIGNING_KEY=${_key}" -P "${PROJECT_DIR}/packaging/release.cmake")

set(_version_path "velquon/zy/drav/sdk/startutil/${VERSION}")
set(_expected "startutil-${VERSION}-bundle.zip")
set(_artifacts startutil-${VERSION}.pom startutil-${VERSION}.jar
               startutil-${VERSION}-sources.jar startutil-${VERSION}-javadoc.jar)
foreach(_artifact IN LISTS _artifacts)
  foreach(_suffix "" .asc .md5 .sha1 .sha256 .sha512)
    list(APPEND _expected "${_version_path}/${_artifact}${_suffix}")
  endforeach()
endforeach()
file(GLOB_RECURSE _layout RELATIVE "${WORK}/release" "${WORK}/release/*")
list(SORT _expected)
list(SORT _layout)
if(NOT _layout STREQUAL _expected)
  run("${GPGCONF}" --kill all)
  message(FATAL_ERROR "the release layout holds\n  ${_layout}\nnot\n  ${_expected}")
endif()

foreach(_artifact IN LISTS _artifacts)
  set(_file "${WORK}/release/${_version_path}/${_artifact}")
  run("${GPG}" --batch --status-fd 1 --verify "${_file}.asc" "${_file}")
  if(NOT _run_output MATCHES "\\[GNUPG:\\] VALIDSIG ${_key} ")
    run("${GPGCONF}" --kill all)
    message(FATAL_ERROR "${_artifact}.asc is no good signature by ${_key}:\n${_run_output}")
  endif()
  if(_artifact MATCHES "\\.jar$")
    file(SHA256 "${_file}" _released)
    file(SHA256 "${DIST_DIR}/maven/${_version_path}/${_artifact}" _everyday)
    if(NOT _released STREQUAL _everyday)
      run("${GPGCONF}" --kill all)
      message(FATAL_ERROR "the released ${_artifact} differs from the everyday build's")
    endif()
  endif()
  foreach(_algorithm MD5 SHA1 SHA256 SHA512)
    string(TOLOWER "${_algorithm}" _extension)
    file(${_algorithm} "${_file}" _sum)
    file(READ "${_file}.${_extension}" _written)
    if(NOT _written STREQUAL _sum)
      run("${GPGCONF}" --kill all)
      message(FATAL_ERROR "${_artifact}.${_extension} holds ${_written}, not ${_sum}")
    endif()
  endforeach()
endforeach()
run("${GPGCONF}" --kill all)
file(REMOVE_RECURSE "${_home}")

set(_pom "${WORK}/release/${_version_path}/startutil-${VERSION}.pom")
central_pom_missing("${_pom}" _missing)
if(_missing)
  message(FATAL_ERROR "the released POM lacks ${_missing}")
endif()
file(READ "${_pom}" _text)
foreach(_element "<url>${_url}</url>" "<connection>scm:git:${_scm}</connection>"
                 "<url>https://git.startutil.example/startutil</url>"
                 "<url>https://git.startutil.example/startutil/issues?state=open&amp;sort=new</url>")
  string(FIND "${_text}" "${_element}" _at)
  if(_at LESS 0)
    message(FATAL_ERROR "the released POM lacks ${_element}:\n${_text}")
  endif()
endforeach()
list(LENGTH _layout _count)
message(STATUS "${_count} files released, every signature good")
