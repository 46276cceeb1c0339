# GoogleTest and GoogleMock come from Debian's sources, cross-compiled here.
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
include(GoogleTest)

# One wineserver for the whole run: every test program then starts in a tenth
# of a second instead of seconds.
add_test(NAME wineserver.start COMMAND ${CMAKE_BINARY_DIR}/wineserver-ctl start)
set_tests_properties(wineserver.start PROPERTIES FIXTURES_SETUP wine)
add_test(NAME wineserver.stop COMMAND ${CMAKE_BINARY_DIR}/wineserver-ctl stop)
set_tests_properties(wineserver.stop PROPERTIES FIXTURES_CLEANUP wine)

add_test(NAME dll.imports_only_system_dlls
  COMMAND ${CMAKE_SOURCE_DIR}/cmake/check-imports.sh $<TARGET_FILE:QuorvelDriverUtility>)
set_tests_properties(dll.imports_only_system_dlls PROPERTIES LABELS unit)

add_test(NAME dll.no_guarded_statics
  COMMAND ${CMAKE_SOURCE_DIR}/cmake/check-static-guards.sh $<TARGET_FILE:QuorvelDriverUtility>)
set_tests_properties(dll.no_guarded_statics PROPERTIES LABELS unit)

# bin holds what a user runs and nothing the tests made.
add_test(NAME build.bin_holds_only_the_product
  COMMAND sh -c "cd '${CMAKE_BINARY_DIR}/bin' && extra=$(ls | grep -Evx 'QuorvelDriverUtility.dll|qvhost.exe|qvdemoprinter.exe|qvxpmlserver.exe|qvsimdal(_[a-z]+)?.dll') ; [ -z \"$extra\" ] || { echo \"not the product: $extra\"; exit 1; }")
set_tests_properties(build.bin_holds_only_the_product PROPERTIES LABELS unit)

add_test(NAME source.include_cycles
  COMMAND python3 ${CMAKE_SOURCE_DIR}/cmake/check-include-cycles.py ${CMAKE_SOURCE_DIR})
set_tests_properties(source.include_cycles PROPERTIES LABELS unit)

add_test(NAME source.clang_format COMMAND ${CMAKE_SOURCE_DIR}/cmake/check-format.sh ${CMAKE_SOURCE_DIR})
set_tests_properties(source.clang_format PROPERTIES LABELS unit SKIP_RETURN_CODE 77)

# Everything built from here on (test programs, their resource DLLs and
# helpers) lands in QV_TEST_BIN, beside copies of the DLL and the simulated
# printer's programs.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${QV_TEST_BIN})
set(CMAKE_LIBRARY_OUTPUT_DIRECTORY ${QV_TEST_BIN})

# Started by wineserver.start: keeps Wine's desktop process, which would
# otherwise hold the pipe of the test that started it, up for the whole run.
add_executable(qv_desktop_holder ${CMAKE_SOURCE_DIR}/tests/support/helpers/desktop_holder.cpp)
target_link_libraries(qv_desktop_holder PRIVATE qv_static)

# tests/<subsystem>/*_test.cpp form <subsystem>_tests.exe (label "unit", run first);
# *_wine_test.cpp form <subsystem>_wine_tests.exe (label "conformance": real
# spooler, registry, pipes, processes, sockets). A folder's optional extra.cmake
# adds what its tests need beside them (resource DLLs, helper programs) and may
# set properties on the two targets.
function(qv_add_test_program target label)
  add_executable(${target} ${ARGN})
  target_link_libraries(${target} PRIVATE qv_static GTest::gmock_main)
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
  add_dependencies(${target} qv_beside_tests qv_desktop_holder)
  gtest_discover_tests(${target}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    WORKING_DIRECTORY ${QV_TEST_BIN}
    PROPERTIES LABELS ${label} FIXTURES_REQUIRED wine TIMEOUT 120)
endfunction()

# The simulated printer's sources serve the tests as they serve the demo's tools.
file(GLOB _support_src CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/support/*.cpp
     ${CMAKE_SOURCE_DIR}/sim/*.cpp)
set(_test_dirs ${QV_SUBSYSTEMS} exports faults)
# Unit programs are defined first so that CTest starts the fast set first.
foreach(kind IN ITEMS unit conformance)
  foreach(dir IN LISTS _test_dirs)
    file(GLOB _all CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/${dir}/*_test.cpp)
    set(_picked)
    foreach(src IN LISTS _all)
      if(src MATCHES "_wine_test\\.cpp$")
        if(kind STREQUAL "conformance")
          list(APPEND _picked ${src})
        endif()
      elseif(kind STREQUAL "unit")
        list(APPEND _picked ${src})
      endif()
    endforeach()
    if(_picked)
      if(kind STREQUAL "unit")
        qv_add_test_program(${dir}_tests unit ${_picked} ${_support_src})
      else()
        qv_add_test_program(${dir}_wine_tests conformance ${_picked} ${_support_src})
      endif()
    endif()
  endforeach()
endforeach()
foreach(dir IN LISTS _test_dirs)
  if(EXISTS ${CMAKE_SOURCE_DIR}/tests/${dir}/extra.cmake)
    include(${CMAKE_SOURCE_DIR}/tests/${dir}/extra.cmake)
  endif()
endforeach()
# Checks of the host-side programs, mirroring tools/<name>/.
file(GLOB _tool_checks ${CMAKE_SOURCE_DIR}/tests/tools/*/extra.cmake)
foreach(check IN LISTS _tool_checks)
  include(${check})
endforeach()
# The SDK as a host meets it: the archive's layout, a consumer project built
# against the installed SDK only, and the ABI manifest.
include(${CMAKE_SOURCE_DIR}/tests/sdk/extra.cmake)
