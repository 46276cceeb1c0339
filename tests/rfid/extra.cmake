# What a host builds against and runs, checked from outside the DLL: the export
# table, the import library and the public header with hosts compiled for the
# MSVC ABI and with mingw-w64 g++, and the qvhost tool's output and exit codes.
find_program(QV_HOST_CLANGXX NAMES clang++ clang++-14)
find_program(QV_HOST_LLD_LINK NAMES lld-link lld-link-14)
add_test(NAME rfid.host_linking
  COMMAND sh ${CMAKE_SOURCE_DIR}/tests/rfid/check_host_linking.sh ${CMAKE_SOURCE_DIR} ${CMAKE_BINARY_DIR}
          ${CMAKE_CXX_COMPILER} ${QV_HOST_CLANGXX} ${QV_HOST_LLD_LINK})
set_tests_properties(rfid.host_linking PROPERTIES LABELS unit FIXTURES_REQUIRED wine SKIP_RETURN_CODE 77 TIMEOUT 120)
add_test(NAME rfid.qvhost COMMAND sh ${CMAKE_SOURCE_DIR}/tests/rfid/check_qvhost.sh ${CMAKE_BINARY_DIR} ${PROJECT_VERSION})
set_tests_properties(rfid.qvhost PROPERTIES LABELS unit FIXTURES_REQUIRED wine TIMEOUT 120)
