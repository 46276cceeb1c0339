# The loopback server the socket tests talk to.
if(TARGET net_wine_tests)
  target_sources(net_wine_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR}/loopback_server.cpp)
endif()
