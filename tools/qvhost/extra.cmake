# The xpml, printers and diagnose commands run the library's own internals
# in-process (routing, DAL lookup, settings: no export carries them).
target_link_libraries(qvhost PRIVATE qv_static)
