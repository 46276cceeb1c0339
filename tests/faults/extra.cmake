# The fault matrix runs against the simulated printer: its DAL module variants
# and its XPML server.
if(TARGET faults_wine_tests)
  target_sources(faults_wine_tests PRIVATE ${CMAKE_SOURCE_DIR}/tests/dal/sim_dal_printer.cpp)
  add_dependencies(faults_wine_tests qvsimdal_modules qvxpmlserver)
endif()
