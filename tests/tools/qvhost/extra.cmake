# qvhost's support commands against real Wine printers and the simulated XPML
# server. Alone: it points the machine's network settings, which every
# simulated printer shares, at its own server.
add_test(NAME tools.qvhost_support COMMAND sh ${CMAKE_SOURCE_DIR}/tests/tools/qvhost/check_support.sh ${CMAKE_BINARY_DIR})
set_tests_properties(tools.qvhost_support PROPERTIES LABELS conformance FIXTURES_REQUIRED wine RUN_SERIAL ON TIMEOUT 240)
