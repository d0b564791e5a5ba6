# maven_layout(<folder> <jar> <sources jar> <javadoc jar>): lays out VERSION of the artifact under
# <folder> as a deploy to a file: repository does: the jars with their POM (pom.xml.in, naming the
# links that URL, SCM_URL and ISSUES_URL give), each file's SHA-1 and MD5 beside it, and the
# metadata (maven-metadata.xml.in, of the time SOURCE_DATE_EPOCH gives) one level up.
set(GROUP velquon.zy.drav.sdk)
set(ARTIFACT startutil)
string(REPLACE "." "/" GROUP_PATH "${GROUP}")

function(maven_layout folder jar sources_jar javadoc_jar)
  set(_artifact_dir "${folder}/${GROUP_PATH}/${ARTIFACT}")
  set(_base "${_artifact_dir}/${VERSION}/${ARTIFACT}-${VERSION}")
  file(REMOVE_RECURSE "${_artifact_dir}")
  foreach(_link URL SCM_URL ISSUES_URL)
    string(REPLACE "&" "&amp;" XML_${_link} "${${_link}}")
    string(REPLACE "<" "&lt;" XML_${_link} "${XML_${_link}}")
  endforeach()
  # The repository's clone address; its web page is the same without ".git".
  string(REGEX REPLACE "\\.git$" "" XML_SCM_WEB "${XML_SCM_URL}")
  string(REGEX REPLACE "^(.+)$" "scm:git:\\1" XML_SCM_CONNECTION "${XML_SCM_URL}")
  file(READ "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/pom.xml.in" _pom)
  string(CONFIGURE "${_pom}" _pom @ONLY)
  # A link not given leaves its elements empty: they go, and so does a section left with none.
  string(REGEX REPLACE "\n *<[A-Za-z]+>(\n *<[A-Za-z]+></[A-Za-z]+>)*\n? *</[A-Za-z]+>" ""
         _pom "${_pom}")
  file(WRITE "${_base}.pom" "${_pom}")
  file(COPY_FILE "${jar}" "${_base}.jar")
  file(COPY_FILE "${sources_jar}" "${_base}-sources.jar")
  file(COPY_FILE "${javadoc_jar}" "${_base}-javadoc.jar")
  string(TIMESTAMP UPDATED "%Y%m%d%H%M%S" UTC)
  configure_file("${CMAKE_CURRENT_FUNCTION_LIST_DIR}/maven-metadata.xml.in"
                 "${_artifact_dir}/maven-metadata.xml" @ONLY)
  file(GLOB_RECURSE _files "${_artifact_dir}/*")
  foreach(_file IN LISTS _files)
    foreach(_algorithm SHA1 MD5)
      file(${_algorithm} "${_file}" _sum)
      string(TOLOWER "${_algorithm}" _extension)
      file(WRITE "${_file}.${_extension}" "${_sum}")
    endforeach()
  endforeach()
endfunction()
