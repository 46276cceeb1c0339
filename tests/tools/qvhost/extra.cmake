# qvhost's support commands against real Wine printers and the simulated XPML server.
add_test(NAME tools.qvhost_support COMMAND sh ${CMAKE_SOURCE_DIR}/tests/tools/qvhost/check_support.sh ${CMAKE_BINARY_DIR})
set_tests_properties(tools.qvhost_support PROPERTIES LABELS conformance FIXTURES_REQUIRED wine TIMEOUT 240)
