# Import libraries made from .def files, for targets that have no MinGW runtime to bring them
# (Windows on Arm64): llvm-dlltool writes one per .def, once per build tree.
function(startutil_link_import_libraries target)
  foreach(def IN LISTS ARGN)
    file(RELATIVE_PATH _name "${PROJECT_SOURCE_DIR}" "${def}")
    string(MAKE_C_IDENTIFIER "${_name}" _name)
    set(_library "${CMAKE_BINARY_DIR}/import-libraries/${_name}.a")
    if(NOT TARGET import_${_name})
      add_custom_command(OUTPUT "${_library}"
        COMMAND ${STARTUTIL_DLLTOOL} -m arm64 -d "${def}" -l "${_library}"
        DEPENDS "${def}" VERBATIM)
      add_custom_target(import_${_name} DEPENDS "${_library}")
    endif()
    add_dependencies(${target} import_${_name})
    target_link_libraries(${target} PRIVATE "${_library}")
  endforeach()
endfunction()
