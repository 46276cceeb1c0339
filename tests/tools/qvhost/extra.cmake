# qvhost's support commands against real Wine printers and the simulated XPML
# server. Alone: it points the machine's network settings, which every
# simulated printer shares, at its own server.
add_test(NAME tools.qvhost_support COMMAND sh ${CMAKE_SOURCE_DIR}/tests/tools/qvhost/check_support.sh ${CMAKE_BINARY_DIR})
set_tests_properties(tools.qvhost_support PROPERTIES LABELS conformance FIXTURES_REQUIRED wine RUN_SERIAL ON TIMEOUT 240)

# qvhost is a host like any other: besides its own files it includes the
# public header only (and system headers).
add_test(NAME tools.qvhost_includes_only_the_public_header
  COMMAND sh -c "! grep -n '^#include \"' '${CMAKE_SOURCE_DIR}'/tools/qvhost/*.cpp '${CMAKE_SOURCE_DIR}'/tools/qvhost/*.h | grep -v -e '\"quorvel_driver_utility.h\"' -e '\"tools/qvhost/'")
set_tests_properties(tools.qvhost_includes_only_the_public_header PROPERTIES LABELS unit)

# qvhost collect and qvdemoprinter start/stop, the zip read back by Python's
# zipfile and unzip. Alone: it points the machine's network settings at its
# own servers, and times a collect against a printer that is switched off.
add_test(NAME tools.qvhost_collect COMMAND sh ${CMAKE_SOURCE_DIR}/tests/tools/qvhost/check_collect.sh ${CMAKE_BINARY_DIR})
set_tests_properties(tools.qvhost_collect PROPERTIES LABELS conformance FIXTURES_REQUIRED wine RUN_SERIAL ON TIMEOUT 300)
# status --watch and watch on two printers the simulated server answers apart.
# Alone, for the same reason as the support commands.
add_test(NAME tools.qvhost_watch COMMAND sh ${CMAKE_SOURCE_DIR}/tests/tools/qvhost/check_watch.sh ${CMAKE_BINARY_DIR})
set_tests_properties(tools.qvhost_watch PROPERTIES LABELS conformance FIXTURES_REQUIRED wine RUN_SERIAL ON TIMEOUT 120)
