# The demo's printer is installed the way the conformance tests install theirs,
# from the same source, which calls the spooler and the registry directly.
target_sources(qvdemoprinter PRIVATE ${CMAKE_SOURCE_DIR}/tests/support/printer_setup.cpp)
target_include_directories(qvdemoprinter PRIVATE ${CMAKE_SOURCE_DIR}/tests)
target_link_libraries(qvdemoprinter PRIVATE winspool advapi32)
# wmain: the printer name arrives as UTF-16, whatever the code page.
target_link_options(qvdemoprinter PRIVATE -municode)
