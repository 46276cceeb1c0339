# qvhost is a host like any other: it loads the DLL and calls its exports,
# linking nothing of the library, only the system's own libraries.
target_link_libraries(qvhost PRIVATE winspool version shell32)
