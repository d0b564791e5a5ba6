# Emulated machines for what qemu-user cannot run faithfully (the launcher's
# clone(CLONE_VM | CLONE_VFORK), a JVM): each is a row of tests/guest/machines.sh, made once into
# the build tree by tests/guest/make_guest.sh and booted for each test by run_guest.sh with that
# test's own payload disk.
find_program(STARTUTIL_MMDEBSTRAP mmdebstrap REQUIRED)
set(STARTUTIL_GUEST_SCRIPTS "${CMAKE_CURRENT_LIST_DIR}/../tests/guest")

# MACHINE's image as a fixture of the same name, and the emulator it needs.
function(startutil_add_guest machine)
  execute_process(COMMAND bash -c "source machines.sh && machine_settings ${machine} && echo \${qemu[0]}"
                  WORKING_DIRECTORY "${STARTUTIL_GUEST_SCRIPTS}" OUTPUT_VARIABLE qemu
                  OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  find_program(STARTUTIL_QEMU_${machine} ${qemu} REQUIRED)
  add_test(NAME ${machine}.make_guest
           COMMAND bash "${STARTUTIL_GUEST_SCRIPTS}/make_guest.sh" ${machine}
                   "${CMAKE_BINARY_DIR}/${machine}-guest")
  set_tests_properties(${machine}.make_guest PROPERTIES FIXTURES_SETUP ${machine}_guest TIMEOUT 900)
endfunction()

# The test MACHINE.NAME: one boot of MACHINE running the run_guest.sh arguments that follow.
# Each boot is bounded by the runner itself, a little inside CTest's limit, so that a run that
# hangs still says so and leaves no machine behind. One machine at a time: each takes both cores.
function(startutil_add_guest_test machine name limit)
  add_test(NAME ${machine}.${name}
           COMMAND bash "${STARTUTIL_GUEST_SCRIPTS}/run_guest.sh" --machine ${machine}
                   --guest "${CMAKE_BINARY_DIR}/${machine}-guest"
                   --work "${CMAKE_CURRENT_BINARY_DIR}/${machine}.${name}" --timeout ${limit} ${ARGN})
  math(EXPR ctest_limit "${limit} + 30")
  set_tests_properties(${machine}.${name} PROPERTIES FIXTURES_REQUIRED ${machine}_guest
                       TIMEOUT ${ctest_limit} RESOURCE_LOCK emulated_machine)
endfunction()
