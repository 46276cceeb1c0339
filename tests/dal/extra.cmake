# The DAL tests load the simulated DAL module variants, copied beside the
# test printers' drivers, in-process and through RunDLL32 proxies.
foreach(_t dal_tests dal_wine_tests)
  if(TARGET ${_t})
    add_dependencies(${_t} qvsimdal_modules)
  endif()
endforeach()
if(TARGET dal_wine_tests)
  target_sources(dal_wine_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR}/sim_dal_printer.cpp)
endif()
# Another process that holds a proxy's pipe name first.
add_executable(dal_pipe_holder ${CMAKE_CURRENT_LIST_DIR}/helpers/pipe_holder.cpp)
target_link_libraries(dal_pipe_holder PRIVATE qv_settings)
target_link_options(dal_pipe_holder PRIVATE -municode)
if(TARGET dal_wine_tests)
  add_dependencies(dal_wine_tests dal_pipe_holder)
endif()
