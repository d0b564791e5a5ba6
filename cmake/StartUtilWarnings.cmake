# Warnings for the project's own targets only; third-party code (GoogleTest) keeps its own.
function(startutil_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wconversion
                                           -Wsign-conversion -Wold-style-cast)
  if(STARTUTIL_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
