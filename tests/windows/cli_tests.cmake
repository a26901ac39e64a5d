# zelhost.exe and zelpanel.exe under Wine: their logic (GoogleTest), their
# command lines (tests/cli/cases.txt) and the demo with COM ports mapped to
# pseudo-terminals. All of it runs in a Wine prefix of its own,
# wine-tools, which a setup test prepares once.
if(NOT TARGET zelhost OR NOT TARGET zelpanel)
  return()
endif()
set(ZEL_CLI_DIR ${CMAKE_SOURCE_DIR}/tests/cli)
set(ZEL_TOOLS_PREFIX ${CMAKE_BINARY_DIR}/wine-tools)
set(ZEL_TOOLS_WINE_PROPERTIES
  ENVIRONMENT "WINEPREFIX=${ZEL_TOOLS_PREFIX}"
  FIXTURES_REQUIRED wine-tools
  RESOURCE_LOCK wine-tools)

add_test(NAME tools.windows.prepare_wine_prefix
         COMMAND ${CMAKE_SOURCE_DIR}/tools/demo/wine-ports.sh ${ZEL_TOOLS_PREFIX}-links)
set_tests_properties(tools.windows.prepare_wine_prefix PROPERTIES
  ENVIRONMENT "WINEPREFIX=${ZEL_TOOLS_PREFIX}"
  FIXTURES_SETUP wine-tools
  RESOURCE_LOCK wine-tools
  TIMEOUT 180)

file(GLOB zel_tool_test_sources CONFIGURE_DEPENDS ${ZEL_CLI_DIR}/*_test.cpp)
list(FILTER zel_tool_test_sources EXCLUDE REGEX "_posix_test\\.cpp$")
zel_windows_test_program(zel_tool_tests ${zel_tool_test_sources})
target_link_libraries(zel_tool_tests PRIVATE zelhost_core zelpanel_core zelcore korvan)
add_test(NAME tools.windows.logic COMMAND zel_tool_tests)
set_tests_properties(tools.windows.logic PROPERTIES TIMEOUT 120 ${ZEL_TOOLS_WINE_PROPERTIES})

set(ZEL_CLI_PLATFORM windows)
set(ZEL_CLI_RUN ${CMAKE_SOURCE_DIR}/tests/scripts/wine-run.sh)
set(ZEL_CLI_ZELHOST $<TARGET_FILE:zelhost>)
set(ZEL_CLI_ZELPANEL $<TARGET_FILE:zelpanel>)
set(ZEL_CLI_KORVAN KORVAN.DLL)
set(ZEL_CLI_PROPERTIES ${ZEL_TOOLS_WINE_PROPERTIES})
include(${ZEL_CLI_DIR}/cases.cmake)

# Presses Enter at zelhost.exe's console (walk_test_on_console).
add_executable(zel_press_enter ${CMAKE_CURRENT_LIST_DIR}/press_enter.cpp)
target_link_options(zel_press_enter PRIVATE -static)
foreach(scenario ctrl_c_closes walk_test_on_console random_then_replay)
  add_test(NAME chain.windows.${scenario}
           COMMAND ${ZEL_CLI_DIR}/wine_chain_test.sh ${scenario} $<TARGET_FILE_DIR:zelhost> ${ZEL_TOOLS_PREFIX}-links)
  set_tests_properties(chain.windows.${scenario} PROPERTIES TIMEOUT 120 ${ZEL_TOOLS_WINE_PROPERTIES})
endforeach()

add_test(NAME demo.windows
         COMMAND ${ZEL_CLI_DIR}/check_run.sh 0 out "^summary: all [0-9]+ points match$"
                 ${CMAKE_SOURCE_DIR}/tools/demo/demo-wine.sh ${CMAKE_BINARY_DIR} --timeout 50)
set_tests_properties(demo.windows PROPERTIES TIMEOUT 180 ${ZEL_TOOLS_WINE_PROPERTIES})

# The release zip, made from this tree; its tools run from the unpacked zip.
add_test(NAME package.windows.zip
         COMMAND ${CMAKE_SOURCE_DIR}/tests/scripts/check-package.sh zip ${CMAKE_BINARY_DIR})
set_tests_properties(package.windows.zip PROPERTIES TIMEOUT 180 ${ZEL_TOOLS_WINE_PROPERTIES})

# These two run on pseudo-terminals beside the serial tests' links; one at a
# time with those, so that a busy moment of one never starves the other.
set_tests_properties(chain.windows.ctrl_c_closes chain.windows.walk_test_on_console chain.windows.random_then_replay
                     demo.windows PROPERTIES RESOURCE_LOCK "wine-tools;wine-ptys")
