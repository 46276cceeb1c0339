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
