# The driver loaded by a host program with dlopen, as a real host does.
add_executable(zel_dlopen_host ${CMAKE_SOURCE_DIR}/tests/hosts/dlopen_host.cpp)
target_include_directories(zel_dlopen_host PRIVATE ${CMAKE_SOURCE_DIR}/include)
target_link_libraries(zel_dlopen_host PRIVATE ${CMAKE_DL_LIBS} util)
add_dependencies(zel_dlopen_host zelwnqx korvan)
add_test(NAME host.dlopen_binds_the_host_library_err
         COMMAND zel_dlopen_host $<TARGET_FILE:zelwnqx> ${CMAKE_CURRENT_BINARY_DIR}/dlopen_host.log)
