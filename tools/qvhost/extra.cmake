# The xpml command runs the library's routing in-process (it is no export).
target_link_libraries(qvhost PRIVATE qv_static)
