# CLI11 (Debian's libcli11-dev, header-only) for both tools. The Windows
# cross build does not search the host's /usr/include, and adding that whole
# directory would let glibc headers in: a link to the CLI directory alone is
# made in the build tree instead.
include_guard(GLOBAL)
if(NOT TARGET zel_cli11)
  add_library(zel_cli11 INTERFACE)
  if(WIN32)
    set(ZEL_CLI11_HEADERS /usr/include/CLI CACHE PATH "CLI11 header directory (CLI/CLI.hpp)")
    if(NOT EXISTS ${ZEL_CLI11_HEADERS}/CLI.hpp)
      message(FATAL_ERROR "CLI11 not found at ${ZEL_CLI11_HEADERS}: install libcli11-dev")
    endif()
    set(zel_cli11_root ${CMAKE_BINARY_DIR}/cli11-include)
    file(MAKE_DIRECTORY ${zel_cli11_root})
    file(CREATE_LINK ${ZEL_CLI11_HEADERS} ${zel_cli11_root}/CLI SYMBOLIC)
    target_include_directories(zel_cli11 SYSTEM INTERFACE ${zel_cli11_root})
  else()
    find_package(CLI11 CONFIG REQUIRED)
    target_link_libraries(zel_cli11 INTERFACE CLI11::CLI11)
  endif()
endif()
