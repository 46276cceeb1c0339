# The simulated printer's XPML server, built with the product: the tests run it
# over loopback, the demo shows it, a developer can point a printer at it. It
# frames HTTP with its own code and links none of the library's, so a framing
# fault in the library cannot hide on both sides of the wire.
add_executable(qvxpmlserver ${CMAKE_CURRENT_LIST_DIR}/main.cpp ${CMAKE_CURRENT_LIST_DIR}/xpml_sim.cpp
               ${CMAKE_SOURCE_DIR}/sim/sim_http.cpp)
target_link_libraries(qvxpmlserver PRIVATE qv_settings ZLIB::ZLIB ws2_32)
# The XPML benchmark installs its own printer and runs the server.
if(TARGET xpml_bench)
  target_sources(xpml_bench PRIVATE ${CMAKE_SOURCE_DIR}/sim/printer_setup.cpp
                 ${CMAKE_SOURCE_DIR}/sim/xpml_server_process.cpp ${CMAKE_SOURCE_DIR}/sim/sim_http.cpp)
  add_dependencies(xpml_bench qvxpmlserver)
endif()
if(TARGET advanced_status_bench)
  target_sources(advanced_status_bench PRIVATE ${CMAKE_SOURCE_DIR}/sim/printer_setup.cpp
                 ${CMAKE_SOURCE_DIR}/sim/label_printer.cpp ${CMAKE_SOURCE_DIR}/sim/xpml_server_process.cpp ${CMAKE_SOURCE_DIR}/sim/sim_http.cpp)
  add_dependencies(advanced_status_bench qvxpmlserver)
endif()
# The soak runs the server for its printers, restarts it now and then, and
# makes it unreachable for a spell.
if(TARGET soak_bench)
  target_sources(soak_bench PRIVATE ${CMAKE_SOURCE_DIR}/sim/printer_setup.cpp
                 ${CMAKE_SOURCE_DIR}/sim/label_printer.cpp ${CMAKE_SOURCE_DIR}/sim/xpml_server_process.cpp ${CMAKE_SOURCE_DIR}/sim/sim_http.cpp
                 ${CMAKE_SOURCE_DIR}/sim/unreachable_port.cpp)
  add_dependencies(soak_bench qvxpmlserver)
endif()
# The status watch benchmark silences half its printers through the server.
if(TARGET status_watch_bench)
  target_sources(status_watch_bench PRIVATE ${CMAKE_SOURCE_DIR}/sim/printer_setup.cpp
                 ${CMAKE_SOURCE_DIR}/sim/label_printer.cpp ${CMAKE_SOURCE_DIR}/sim/xpml_server_process.cpp ${CMAKE_SOURCE_DIR}/sim/sim_http.cpp)
  add_dependencies(status_watch_bench qvxpmlserver)
endif()
