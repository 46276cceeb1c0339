# A second build of the library's code with one export that makes a pooled
# exchange, so load/free rounds exercise the socket layer and its close thread
# as a host would meet them; and the loopback server it talks to.
add_library(qv_net_probe SHARED ${CMAKE_CURRENT_LIST_DIR}/helpers/net_probe.cpp
  ${CMAKE_SOURCE_DIR}/tests/net/loopback_server.cpp $<TARGET_OBJECTS:qv_objects>)
target_link_libraries(qv_net_probe PRIVATE qv_settings ZLIB::ZLIB ${QV_SYSTEM_LIBS})
target_include_directories(qv_net_probe PRIVATE ${CMAKE_SOURCE_DIR}/tests)
set_target_properties(qv_net_probe PROPERTIES PREFIX "")
if(TARGET exports_wine_tests)
  target_sources(exports_wine_tests PRIVATE ${CMAKE_SOURCE_DIR}/tests/net/loopback_server.cpp)
  add_dependencies(exports_wine_tests qv_net_probe)
endif()
