# qvhost is a host like any other: it loads the DLL and calls its exports,
# linking nothing of the library, only the system's own libraries.
target_link_libraries(qvhost PRIVATE winspool version shell32)
# collect writes its zip with zlib's deflate and CRC-32, linked statically as
# the DLL links it, so qvhost still needs nothing beside it.
target_link_libraries(qvhost PRIVATE ZLIB::ZLIB)
