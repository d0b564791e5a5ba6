# STARTUTIL_SANITIZERS (e.g. address,undefined) builds every target with those sanitizers, and
# with no recovery: the first finding ends the program, so a test that trips one fails.
set(STARTUTIL_SANITIZERS "" CACHE STRING "Sanitizers to build with, e.g. address,undefined")
if(STARTUTIL_SANITIZERS)
  add_compile_options(-fsanitize=${STARTUTIL_SANITIZERS} -fno-sanitize-recover=all
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=${STARTUTIL_SANITIZERS})
  # A shared library names the sanitizer's runtime as NEEDED instead of leaving its symbols
  # undefined, which -z defs refuses.
  set(CMAKE_SHARED_LINKER_FLAGS "${CMAKE_SHARED_LINKER_FLAGS} -shared-libasan")
endif()
