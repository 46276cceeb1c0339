# The release archive's layout (it also leaves the archive for the consumer),
# the consumer project built from that archive alone, and the ABI against the
# manifest.
set(_sdk_out ${CMAKE_BINARY_DIR}/tests/sdk)
set(_sdk_archive ${_sdk_out}/QuorvelDriverUtility-${PROJECT_VERSION}-win64.zip)
add_test(NAME sdk.archive_layout
  COMMAND python3 ${CMAKE_SOURCE_DIR}/tests/sdk/check_archive.py ${CMAKE_BINARY_DIR} ${_sdk_out} ${PROJECT_VERSION})
set_tests_properties(sdk.archive_layout PROPERTIES LABELS unit FIXTURES_SETUP sdk_archive TIMEOUT 120)

# Alone: the printer's driver install rewrites the spooler's shared driver files.
add_test(NAME sdk.consumer
  COMMAND sh ${CMAKE_SOURCE_DIR}/tests/sdk/check_consumer.sh ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR} ${_sdk_archive}
          "${QV_HOST_CLANGXX}" "${QV_HOST_LLD_LINK}")
set_tests_properties(sdk.consumer PROPERTIES LABELS conformance FIXTURES_REQUIRED "wine;sdk_archive"
  RUN_SERIAL ON TIMEOUT 240)

add_test(NAME abi.manifest COMMAND ${QV_ABI_COMMAND} check)
set_tests_properties(abi.manifest PROPERTIES LABELS unit FIXTURES_REQUIRED wine TIMEOUT 120)
add_test(NAME abi.manifest_rules
  COMMAND python3 ${CMAKE_SOURCE_DIR}/tests/sdk/abi_manifest_test.py $<TARGET_FILE:QuorvelDriverUtility>)
set_tests_properties(abi.manifest_rules PROPERTIES LABELS unit)
