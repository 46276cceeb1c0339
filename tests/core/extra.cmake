# A second process for the mutex tests: holds a named OMutex until told to let
# go, or exits holding it.
add_executable(core_mutex_holder ${CMAKE_CURRENT_LIST_DIR}/helpers/mutex_holder.cpp)
target_link_libraries(core_mutex_holder PRIVATE qv_static)
if(TARGET core_wine_tests)
  add_dependencies(core_wine_tests core_mutex_holder)
endif()
