# The demo's printer is installed the way the conformance tests install theirs,
# from the same source, which calls the spooler and the registry directly.
target_sources(qvdemoprinter PRIVATE ${CMAKE_SOURCE_DIR}/sim/printer_setup.cpp
  ${CMAKE_SOURCE_DIR}/sim/label_printer.cpp)
target_link_libraries(qvdemoprinter PRIVATE winspool advapi32)
# wmain: the printer name arrives as UTF-16, whatever the code page.
target_link_options(qvdemoprinter PRIVATE -municode)
# The label printer's network settings are written through the library's
# printer registry, where the library reads them.
target_link_libraries(qvdemoprinter PRIVATE qv_static)
