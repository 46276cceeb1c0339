# Libraries the driver interface tests load beside the test program, in the
# tests' own folder, never beside the product: resource-only printui.dll and
# puiapi.dll with the status string ids (the library loader looks in the
# program's folder first, so these stand in for the system's), and a module with a multi-translation version resource for
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

# Hosts built for the MSVC ABI (built only where clang and lld-link are;
# scripts/setup installs them): one in C++ holds the handle as a
# DriverInterface pointer and calls the slots through the object, one in plain
# C calls the flat exports.
find_program(QV_HOST_CLANGXX NAMES clang++ clang++-14)
find_program(QV_HOST_LLD_LINK NAMES lld-link lld-link-14)
function(qv_msvc_host name source)
  set(_host_src ${CMAKE_SOURCE_DIR}/tests/driver_interface/hosts/${source})
  set(_host_obj ${CMAKE_BINARY_DIR}/${name}.obj)
  set(_host_exe ${QV_TEST_BIN}/${name}.exe)
  set(_mingw_lib /usr/x86_64-w64-mingw32/lib)
  add_custom_command(OUTPUT ${_host_exe}
    COMMAND ${QV_HOST_CLANGXX} --target=x86_64-pc-windows-msvc -O1 -fno-exceptions ${ARGN}
            -I${CMAKE_SOURCE_DIR}/include -c ${_host_src} -o ${_host_obj}
    COMMAND ${QV_HOST_LLD_LINK} /nologo /entry:mainCRTStartup /subsystem:console /nodefaultlib
            ${_host_obj} ${CMAKE_BINARY_DIR}/lib/QuorvelDriverUtility.lib
            ${_mingw_lib}/libwinspool.a ${_mingw_lib}/libkernel32.a ${_mingw_lib}/liboleaut32.a
            ${_mingw_lib}/libuser32.a
            /out:${_host_exe}
    DEPENDS ${_host_src} ${CMAKE_SOURCE_DIR}/include/quorvel_driver_utility.h QuorvelDriverUtility
    VERBATIM)
  add_custom_target(${name} DEPENDS ${_host_exe})
  add_dependencies(${name} qv_beside_tests)
  add_dependencies(driver_interface_wine_tests ${name})
endfunction()
if(QV_HOST_CLANGXX AND QV_HOST_LLD_LINK AND TARGET driver_interface_wine_tests)
  qv_msvc_host(msvc_vtable_host msvc_vtable_host.cpp -fno-rtti)
  qv_msvc_host(flat_c_host flat_c_host.c -x c -std=c11)
endif()

# The advanced interface runs against the simulated printer: its DAL module
# and its XPML server.
if(TARGET driver_interface_wine_tests)
  target_sources(driver_interface_wine_tests PRIVATE ${CMAKE_SOURCE_DIR}/tests/dal/sim_dal_printer.cpp)
  add_dependencies(driver_interface_wine_tests qvsimdal_modules qvxpmlserver)
endif()
