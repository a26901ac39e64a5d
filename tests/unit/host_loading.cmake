# The driver loaded by a host program with dlopen, as a real host does.
add_executable(zel_dlopen_host ${CMAKE_SOURCE_DIR}/tests/hosts/dlopen_host.cpp)
target_include_directories(zel_dlopen_host PRIVATE ${CMAKE_SOURCE_DIR}/include)
target_link_libraries(zel_dlopen_host PRIVATE ${CMAKE_DL_LIBS} util)
add_dependencies(zel_dlopen_host zelwnqx korvan)
add_test(NAME host.dlopen_binds_the_host_library_err
         COMMAND ${ZEL_OWN_PTYS} $<TARGET_FILE:zel_dlopen_host> $<TARGET_FILE:zelwnqx> ${CMAKE_CURRENT_BINARY_DIR}/dlopen_host.log)

# The same host with a host library that lacks `err`, found first on the
# library path: the driver's log lines must be dropped, not sent to glibc.
add_library(korvan_without_err SHARED ${CMAKE_SOURCE_DIR}/tests/hosts/korvan_without_err.cpp)
target_include_directories(korvan_without_err PRIVATE ${CMAKE_SOURCE_DIR}/host)
set_target_properties(korvan_without_err PROPERTIES OUTPUT_NAME korvan
                      LIBRARY_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/without-err)
add_dependencies(zel_dlopen_host korvan_without_err)
add_test(NAME host.dlopen_without_host_err_drops_log_lines
         COMMAND ${ZEL_OWN_PTYS} ${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${CMAKE_CURRENT_BINARY_DIR}/without-err
                 $<TARGET_FILE:zel_dlopen_host> $<TARGET_FILE:zelwnqx> ${CMAKE_CURRENT_BINARY_DIR}/without-err.log
                 without-err)
