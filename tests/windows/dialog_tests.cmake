# The Tag Format dialog: its compiled template and version record, and the
# real dialog worked through window messages under Wine. These tests keep a
# Wine prefix of their own and run on one private Xvfb display, started and
# stopped around them as the fixture dialog_display.
set(ZEL_DIALOG_XVFB ${CMAKE_SOURCE_DIR}/tests/scripts/dialog-xvfb.sh)
set(ZEL_DIALOG_DISPLAY_STATE ${CMAKE_BINARY_DIR}/dialog-display)
set(ZEL_DIALOG_WINE_ENVIRONMENT
  "WINEPREFIX=${CMAKE_BINARY_DIR}/wine-dialog"
  "WINEDLLOVERRIDES=mscoree,mshtml=")
set(ZEL_DIALOG_RUN ${ZEL_DIALOG_XVFB} run ${ZEL_DIALOG_DISPLAY_STATE})
set(ZEL_WINE_RUN ${CMAKE_SOURCE_DIR}/tests/scripts/wine-run.sh)

add_test(NAME windows.dialog_display_start COMMAND ${ZEL_DIALOG_XVFB} start ${ZEL_DIALOG_DISPLAY_STATE})
add_test(NAME windows.dialog_display_stop COMMAND ${ZEL_DIALOG_XVFB} stop ${ZEL_DIALOG_DISPLAY_STATE})
set_tests_properties(windows.dialog_display_start PROPERTIES FIXTURES_SETUP dialog_display TIMEOUT 120)
set_tests_properties(windows.dialog_display_stop PROPERTIES FIXTURES_CLEANUP dialog_display)
set_tests_properties(windows.dialog_display_start windows.dialog_display_stop PROPERTIES
  ENVIRONMENT "${ZEL_DIALOG_WINE_ENVIRONMENT}" RESOURCE_LOCK wine-dialog)

zel_windows_test_program(zel_dialog_template_tests ${CMAKE_CURRENT_LIST_DIR}/dialog_template_test.cpp)
target_link_libraries(zel_dialog_template_tests PRIVATE version)
add_test(NAME windows.dialog_template
         COMMAND ${ZEL_DIALOG_RUN} ${ZEL_WINE_RUN} $<TARGET_FILE:zel_dialog_template_tests>)
set_tests_properties(windows.dialog_template PROPERTIES TIMEOUT 60
  ENVIRONMENT "${ZEL_DIALOG_WINE_ENVIRONMENT}" FIXTURES_REQUIRED dialog_display)

# One process per case: the driver shows its dialog once per process.
zel_windows_test_program(zel_dialog_window_tests ${CMAKE_CURRENT_LIST_DIR}/dialog_window_test.cpp)
set(ZEL_DIALOG_CASES Regular BatteryWithEmptySlotAndPoint CktReachedWithTheSpins FailedCheckThenCorrection
                     CancelLeavesTheBufferAndEndsTheOnlyDialog)
foreach(case IN LISTS ZEL_DIALOG_CASES)
  set(screenshot)
  set(environment ${ZEL_DIALOG_WINE_ENVIRONMENT})
  if(case STREQUAL "CktReachedWithTheSpins")
    # Into the build tree; docs/tag-format-dialog.png is refreshed from it by hand.
    set(screenshot --screenshot ${CMAKE_BINARY_DIR}/tag-format-dialog.png)
  elseif(case STREQUAL "CancelLeavesTheBufferAndEndsTheOnlyDialog")
    list(APPEND environment "KORVAN_VERSION=819")  # a host that does not own the dialog
  endif()
  add_test(NAME windows.dialog_window.${case}
           COMMAND ${ZEL_DIALOG_RUN} ${screenshot} ${ZEL_WINE_RUN} $<TARGET_FILE:zel_dialog_window_tests>
                   --gtest_filter=DialogWindow.${case})
  set_tests_properties(windows.dialog_window.${case} PROPERTIES TIMEOUT 60
    ENVIRONMENT "${environment}" FIXTURES_REQUIRED dialog_display
    RESOURCE_LOCK dialog_display_screen)  # one dialog on the screen at a time
endforeach()
