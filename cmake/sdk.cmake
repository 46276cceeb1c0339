# What a host developer gets: `cmake --install` lays out the SDK (header,
# import library, DLL, qvhost, documents, examples, CMake package) and CPack
# zips it as QuorvelDriverUtility-<version>-win64.zip with its SHA-256 beside
# it. Nothing of the tests, the simulated printer or the build tree goes in.
include(CMakePackageConfigHelpers)

# CMake's default prefix (/usr/local when cross-building here) would scatter
# Windows files through the build machine: an install without --prefix lands
# beside the build. A build folder configured earlier holds that default in
# its cache, so it is recognised by value too.
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT OR CMAKE_INSTALL_PREFIX STREQUAL "/usr/local")
  set(CMAKE_INSTALL_PREFIX ${CMAKE_BINARY_DIR}/sdk CACHE PATH "Where cmake --install lays out the SDK" FORCE)
endif()

install(FILES ${CMAKE_SOURCE_DIR}/include/quorvel_driver_utility.h DESTINATION include)
install(TARGETS QuorvelDriverUtility RUNTIME DESTINATION bin ARCHIVE DESTINATION lib)
install(TARGETS qvhost RUNTIME DESTINATION bin)
install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/CHANGELOG.md DESTINATION share/doc)
install(FILES ${CMAKE_SOURCE_DIR}/examples/host_status.cpp ${CMAKE_SOURCE_DIR}/examples/host_flat.c
        DESTINATION examples)

# A new major version is a new ABI (see the ABI manifest), so a host asking
# for 3 never gets 4; the version file also refuses a 32-bit host.
write_basic_package_version_file(${CMAKE_BINARY_DIR}/QuorvelDriverUtilityConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_SOURCE_DIR}/cmake/QuorvelDriverUtilityConfig.cmake
        ${CMAKE_BINARY_DIR}/QuorvelDriverUtilityConfigVersion.cmake
        DESTINATION lib/cmake/QuorvelDriverUtility)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME QuorvelDriverUtility)
set(CPACK_PACKAGE_VENDOR Quorvel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME QuorvelDriverUtility-${PROJECT_VERSION}-win64)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
set(CPACK_PACKAGE_CHECKSUM SHA256)
# Hosts ship the DLL as it is; its DWARF lines serve no Windows debugger.
set(CPACK_STRIP_FILES ON)
include(CPack)

# The ABI as hosts see it, measured from the build: the DLL's export table,
# and a program compiled against the public header (with g++ here, and for
# the MSVC ABI where clang and lld-link are) that prints vtable slots and
# structure layouts. `cmake --build build --target abi_manifest` refreshes
# exports/abi_manifest.txt; CTest's abi.manifest compares.
add_executable(qv_abi_layout_gnu ${CMAKE_SOURCE_DIR}/cmake/abi_layout.cpp)
target_include_directories(qv_abi_layout_gnu PRIVATE ${CMAKE_SOURCE_DIR}/include)
set_target_properties(qv_abi_layout_gnu PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${QV_TEST_BIN})
set(_abi_layouts --layout gnu=$<TARGET_FILE:qv_abi_layout_gnu>)
set(_abi_depends qv_abi_layout_gnu QuorvelDriverUtility)
# The same compiler and linker as the tests' MSVC ABI hosts (one cache entry each).
find_program(QV_HOST_CLANGXX NAMES clang++ clang++-14)
find_program(QV_HOST_LLD_LINK NAMES lld-link lld-link-14)
if(QV_HOST_CLANGXX AND QV_HOST_LLD_LINK)
  set(_abi_msvc ${QV_TEST_BIN}/qv_abi_layout_msvc.exe)
  add_custom_command(OUTPUT ${_abi_msvc}
    COMMAND ${QV_HOST_CLANGXX} --target=x86_64-pc-windows-msvc -std=c++17 -O1 -fno-exceptions
            -I${CMAKE_SOURCE_DIR}/include -c ${CMAKE_SOURCE_DIR}/cmake/abi_layout.cpp
            -o ${CMAKE_BINARY_DIR}/qv_abi_layout_msvc.obj
    COMMAND ${QV_HOST_LLD_LINK} /nologo /entry:mainCRTStartup /subsystem:console /nodefaultlib
            ${CMAKE_BINARY_DIR}/qv_abi_layout_msvc.obj /usr/x86_64-w64-mingw32/lib/libkernel32.a
            /out:${_abi_msvc}
    DEPENDS ${CMAKE_SOURCE_DIR}/cmake/abi_layout.cpp ${CMAKE_SOURCE_DIR}/include/quorvel_driver_utility.h
    VERBATIM)
  add_custom_target(qv_abi_layout_msvc ALL DEPENDS ${_abi_msvc})
  list(APPEND _abi_layouts --layout msvc=${_abi_msvc})
  list(APPEND _abi_depends qv_abi_layout_msvc)
endif()
set(QV_ABI_COMMAND python3 ${CMAKE_SOURCE_DIR}/cmake/abi_manifest.py
  --manifest ${CMAKE_SOURCE_DIR}/exports/abi_manifest.txt
  --dll $<TARGET_FILE:QuorvelDriverUtility> --header ${CMAKE_SOURCE_DIR}/include/quorvel_driver_utility.h
  --changelog ${CMAKE_SOURCE_DIR}/CHANGELOG.md
  --major ${PROJECT_VERSION_MAJOR} --run ${CMAKE_BINARY_DIR}/wine-run ${_abi_layouts})
add_custom_target(abi_manifest COMMAND ${QV_ABI_COMMAND} update VERBATIM)
add_dependencies(abi_manifest ${_abi_depends})
