# Quorvel::DriverUtility: QuorvelDriverUtility.dll for 64-bit Windows hosts.
# Linking it gives the public header's folder and the import library (with
# oleaut32, whose SysFreeString frees every text the library returns); its
# IMPORTED_LOCATION is the DLL, which a host copies beside its program:
#   add_custom_command(TARGET host POST_BUILD COMMAND ${CMAKE_COMMAND} -E
#     copy_if_different $<TARGET_FILE:Quorvel::DriverUtility> $<TARGET_FILE_DIR:host>)
get_filename_component(_qv_sdk "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)
set(_qv_files "${_qv_sdk}/include/quorvel_driver_utility.h" "${_qv_sdk}/lib/QuorvelDriverUtility.lib"
    "${_qv_sdk}/bin/QuorvelDriverUtility.dll")
foreach(_qv_file IN LISTS _qv_files)
  if(NOT EXISTS "${_qv_file}")
    set(QuorvelDriverUtility_FOUND FALSE)
    set(QuorvelDriverUtility_NOT_FOUND_MESSAGE "the SDK in ${_qv_sdk} lacks ${_qv_file}")
    return()
  endif()
endforeach()
if(NOT TARGET Quorvel::DriverUtility)
  add_library(Quorvel::DriverUtility SHARED IMPORTED)
  set_target_properties(Quorvel::DriverUtility PROPERTIES
    IMPORTED_LOCATION "${_qv_sdk}/bin/QuorvelDriverUtility.dll"
    IMPORTED_IMPLIB "${_qv_sdk}/lib/QuorvelDriverUtility.lib"
    INTERFACE_INCLUDE_DIRECTORIES "${_qv_sdk}/include"
    INTERFACE_LINK_LIBRARIES oleaut32)
endif()
set(QuorvelDriverUtility_DLL "${_qv_sdk}/bin/QuorvelDriverUtility.dll")
unset(_qv_files)
unset(_qv_file)
unset(_qv_sdk)
