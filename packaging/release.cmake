# Makes the release layout for Maven Central in RELEASE_DIR from the repository that jar.cmake
# laid out in DIST_DIR/maven: the POM and the three jars, each signed by gpg (SIGNING_KEY, from
# the keyring in GNUPGHOME) as <file>.asc, with its .md5, .sha1, .sha256 and .sha512, and the
# whole as one zip bundle for upload. Refuses, naming each, while a setting is missing.
cmake_minimum_required(VERSION 3.25)
include("${CMAKE_CURRENT_LIST_DIR}/central_pom.cmake")
include("${CMAKE_CURRENT_LIST_DIR}/maven_layout.cmake")

set(_missing "")
foreach(_setting "URL;the project's web page" "SCM_URL;the git repository's address"
                 "SIGNING_KEY;the gpg key that signs the release")
  list(GET _setting 0 _name)
  list(GET _setting 1 _what)
  if("${${_name}}" STREQUAL "")
    string(APPEND _missing "\n  -DSTARTUTIL_${_name}=...  (${_what})")
  endif()
endforeach()
if(_missing)
  message(FATAL_ERROR "A release needs these settings, given when configuring the linux preset "
                      "(cmake --preset linux -D...):${_missing}")
endif()
if(NOT GPG)
  message(FATAL_ERROR "gpg not found: install gpg (tools/setup.sh)")
endif()

set(_version_path "${GROUP_PATH}/${ARTIFACT}/${VERSION}")
set(_from "${DIST_DIR}/maven/${_version_path}")
set(_to "${RELEASE_DIR}/${_version_path}")
set(_files "${ARTIFACT}-${VERSION}.pom" "${ARTIFACT}-${VERSION}.jar"
           "${ARTIFACT}-${VERSION}-sources.jar" "${ARTIFACT}-${VERSION}-javadoc.jar")

# The POM was made when the jars were: one built before the settings were given lacks them.
central_pom_missing("${_from}/${ARTIFACT}-${VERSION}.pom" _lacking)
if(_lacking)
  string(REPLACE ";" ", " _lacking "${_lacking}")
  message(FATAL_ERROR "${_from}/${ARTIFACT}-${VERSION}.pom lacks ${_lacking}: build the dist "
                      "target again with the settings")
endif()

file(REMOVE_RECURSE "${RELEASE_DIR}")
file(MAKE_DIRECTORY "${_to}")
foreach(_file IN LISTS _files)
  file(COPY_FILE "${_from}/${_file}" "${_to}/${_file}")
  execute_process(
    COMMAND "${GPG}" --batch --yes --local-user "${SIGNING_KEY}" --detach-sign --armor
            --output "${_to}/${_file}.asc" "${_to}/${_file}"
    RESULT_VARIABLE _status ERROR_VARIABLE _error)
  if(NOT _status EQUAL 0)
    message(FATAL_ERROR "gpg could not sign ${_file} with key ${SIGNING_KEY}:\n${_error}")
  endif()
  foreach(_algorithm MD5 SHA1 SHA256 SHA512)
    file(${_algorithm} "${_to}/${_file}" _sum)
    string(TOLOWER "${_algorithm}" _extension)
    file(WRITE "${_to}/${_file}.${_extension}" "${_sum}")
  endforeach()
endforeach()

# The upload takes the layout as one zip, with the group's folders at its root.
execute_process(
  COMMAND "${CMAKE_COMMAND}" -E tar cf "${RELEASE_DIR}/${ARTIFACT}-${VERSION}-bundle.zip"
          --format=zip velquon
  WORKING_DIRECTORY "${RELEASE_DIR}" COMMAND_ERROR_IS_FATAL ANY)
message(STATUS "Release layout in ${RELEASE_DIR}, signed by ${SIGNING_KEY}")
