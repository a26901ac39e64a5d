# The one version of the driver, the tools and the packages is project()'s,
# written as the banner shows it: major and two-digit minor ("7.00").
# zel_version.h carries it to the code and the DLL's version resource.
if(NOT PROJECT_VERSION MATCHES "^[0-9]+\\.[0-9][0-9]$")
  message(FATAL_ERROR "project version ${PROJECT_VERSION}: expected MAJOR.MM, for example 7.00")
endif()
math(EXPR ZEL_VERSION_MAJOR "${PROJECT_VERSION_MAJOR}")
# Without its leading zero, so that C does not read it as octal.
string(REGEX REPLACE "^0(.)$" "\\1" ZEL_VERSION_MINOR "${PROJECT_VERSION_MINOR}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/zel_version.h.in ${CMAKE_BINARY_DIR}/generated/zel_version.h @ONLY)
add_library(zel_version INTERFACE)
target_include_directories(zel_version INTERFACE ${CMAKE_BINARY_DIR}/generated)

# The day this version was released: the packages' file times and the
# changelog's date. Set it with the version.
set(ZEL_RELEASE_DATE 2026-12-08)
