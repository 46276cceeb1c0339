# The routing tests talk to the simulated printer's XPML server program.
if(TARGET xpml_wine_tests)
  add_dependencies(xpml_wine_tests qvxpmlserver)
endif()
# The unit tests check the server's own framing against its form decoding.
if(TARGET xpml_tests)
  target_sources(xpml_tests PRIVATE ${CMAKE_SOURCE_DIR}/sim/xpml_server/xpml_sim.cpp)
endif()
