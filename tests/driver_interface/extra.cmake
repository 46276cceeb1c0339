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
# C calls the flat exports, both without a C runtime. The README's example is
# built as a host with one: mingw's C headers and msvcrt.dll's functions stand
# in for Microsoft's, and msvc_crt_entry.c for its startup.
find_program(QV_HOST_CLANGXX NAMES clang++ clang++-14)
find_program(QV_HOST_LLD_LINK NAMES lld-link lld-link-14)
set(_mingw_lib /usr/x86_64-w64-mingw32/lib)
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-libgcc-file-name
                OUTPUT_VARIABLE _libgcc OUTPUT_STRIP_TRAILING_WHITESPACE)
get_filename_component(_gcc_dir ${_libgcc} DIRECTORY)
set(_msvc_with_crt
  -std=c++17 -D__GNUC__=12 -D__GNUC_MINOR__=0 -D__USE_MINGW_ANSI_STDIO=0 "-Wno-#warnings"
  -isystem ${_gcc_dir}/include/c++ -isystem ${_gcc_dir}/include/c++/x86_64-w64-mingw32
  -idirafter /usr/x86_64-w64-mingw32/include)
function(qv_msvc_host name source)
  cmake_parse_arguments(PARSE_ARGV 2 _h "WITH_CRT" "" "")
  set(_host_src ${CMAKE_SOURCE_DIR}/${source})
  set(_host_obj ${CMAKE_BINARY_DIR}/${name}.obj)
  set(_host_exe ${QV_TEST_BIN}/${name}.exe)
  set(_flags ${_h_UNPARSED_ARGUMENTS})
  set(_objects ${_host_obj})
  set(_crt_libs)
  set(_entry_command)
  if(_h_WITH_CRT)
    list(APPEND _flags ${_msvc_with_crt})
    set(_entry_obj ${CMAKE_BINARY_DIR}/${name}_entry.obj)
    list(APPEND _objects ${_entry_obj})
    set(_entry_command COMMAND ${QV_HOST_CLANGXX} --target=x86_64-pc-windows-msvc -O1 -x c -c
        ${CMAKE_SOURCE_DIR}/tests/driver_interface/hosts/msvc_crt_entry.c -o ${_entry_obj})
    set(_crt_libs ${_mingw_lib}/libmingwex.a ${_mingw_lib}/libmsvcrt.a
        ${_mingw_lib}/libshell32.a ${_libgcc})
  endif()
  add_custom_command(OUTPUT ${_host_exe}
    COMMAND ${QV_HOST_CLANGXX} --target=x86_64-pc-windows-msvc -O1 -fno-exceptions ${_flags}
            -I${CMAKE_SOURCE_DIR}/include -c ${_host_src} -o ${_host_obj}
    ${_entry_command}
    COMMAND ${QV_HOST_LLD_LINK} /nologo /entry:mainCRTStartup /subsystem:console /nodefaultlib
            ${_objects} ${CMAKE_BINARY_DIR}/lib/QuorvelDriverUtility.lib
            ${_mingw_lib}/libwinspool.a ${_mingw_lib}/libkernel32.a ${_mingw_lib}/liboleaut32.a
            ${_mingw_lib}/libuser32.a ${_crt_libs}
            /out:${_host_exe}
    DEPENDS ${_host_src} ${CMAKE_SOURCE_DIR}/include/quorvel_driver_utility.h QuorvelDriverUtility
    VERBATIM)
  add_custom_target(${name} DEPENDS ${_host_exe})
  add_dependencies(${name} qv_beside_tests)
  add_dependencies(driver_interface_wine_tests ${name})
endfunction()
if(QV_HOST_CLANGXX AND QV_HOST_LLD_LINK AND TARGET driver_interface_wine_tests)
  qv_msvc_host(msvc_vtable_host tests/driver_interface/hosts/msvc_vtable_host.cpp -fno-rtti)
  qv_msvc_host(flat_c_host tests/driver_interface/hosts/flat_c_host.c -x c -std=c11)
  qv_msvc_host(host_status_msvc examples/host_status.cpp WITH_CRT)
endif()

# The README's example as a mingw-w64 g++ host builds it (its command line
# is in the README).
if(TARGET driver_interface_wine_tests)
  add_executable(host_status_gnu ${CMAKE_SOURCE_DIR}/examples/host_status.cpp)
  target_include_directories(host_status_gnu PRIVATE ${CMAKE_SOURCE_DIR}/include)
  target_link_libraries(host_status_gnu PRIVATE QuorvelDriverUtility winspool oleaut32)
  target_link_options(host_status_gnu PRIVATE -municode -static)
  add_dependencies(driver_interface_wine_tests host_status_gnu)
endif()

# The advanced interface runs against the simulated printer: its DAL module
# and its XPML server.
if(TARGET driver_interface_wine_tests)
  target_sources(driver_interface_wine_tests PRIVATE ${CMAKE_SOURCE_DIR}/tests/dal/sim_dal_printer.cpp)
  add_dependencies(driver_interface_wine_tests qvsimdal_modules qvxpmlserver)
endif()
