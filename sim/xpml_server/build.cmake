# The simulated printer's XPML server, built with the product: the tests run it
# over loopback, the demo shows it, a developer can point a printer at it. It
# reads requests with the library's own HTTP code.
add_executable(qvxpmlserver ${CMAKE_CURRENT_LIST_DIR}/main.cpp ${CMAKE_CURRENT_LIST_DIR}/xpml_sim.cpp)
target_link_libraries(qvxpmlserver PRIVATE qv_static)
