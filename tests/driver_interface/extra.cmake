# Libraries the driver interface tests load beside the test program:
# resource-only printui.dll and puiapi.dll with the status string ids (the
# library loader looks in the program's folder first, so these stand in for
# the system's), and a module with a multi-translation version resource for
# the ProductVersion fallback.
set(_di_res ${CMAKE_SOURCE_DIR}/tests/driver_interface/resources)

function(qv_di_resource_dll target output rc)
  add_library(${target} SHARED ${_di_res}/resource_only.c ${_di_res}/${rc})
  set_target_properties(${target} PROPERTIES PREFIX "" OUTPUT_NAME ${output} LINKER_LANGUAGE C)
  target_link_options(${target} PRIVATE -nostdlib -Wl,--entry,ResourceOnlyEntry)
endfunction()

qv_di_resource_dll(di_test_printui printui printui.rc)
qv_di_resource_dll(di_test_puiapi puiapi puiapi.rc)
qv_di_resource_dll(di_test_version_probe di_version_probe version_probe.rc)

foreach(_t driver_interface_tests driver_interface_wine_tests)
  if(TARGET ${_t})
    add_dependencies(${_t} di_test_printui di_test_puiapi di_test_version_probe)
  endif()
endforeach()
# The host tool's printer commands are run against real printers.
if(TARGET driver_interface_wine_tests AND TARGET qvhost)
  add_dependencies(driver_interface_wine_tests qvhost)
endif()
