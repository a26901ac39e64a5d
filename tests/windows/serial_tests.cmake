# The Windows serial back end and the channel lifecycle under Wine, on COM
# ports mapped to pseudo-terminals joined by socat. All cases share one Wine
# prefix and one set of COM mappings, so they run one at a time.
zel_windows_test_program(zel_serial_tests
  ${CMAKE_CURRENT_LIST_DIR}/serial_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/line_link.cpp
  ${CMAKE_SOURCE_DIR}/tests/unit/lifecycle_faults_test.cpp
  ${CMAKE_SOURCE_DIR}/tests/support/recording_backend.cpp
  ${CMAKE_SOURCE_DIR}/tests/support/substitute_backend.cpp
  ${CMAKE_SOURCE_DIR}/tests/support/test_host.cpp)
target_include_directories(zel_serial_tests PRIVATE ${CMAKE_SOURCE_DIR}/tests/support)
target_link_libraries(zel_serial_tests PRIVATE zelcore korvan)

set(ZEL_WINE_SERIAL_PREFIX ${CMAKE_BINARY_DIR}/wine-serial)
set(ZEL_WINE_LINK_DIR ${CMAKE_BINARY_DIR}/wine-serial-links)
foreach(suite WineSerial WineSerialNames)
  add_test(NAME windows.serial.${suite}
           COMMAND ${CMAKE_SOURCE_DIR}/tests/scripts/wine-serial-run.sh ${ZEL_WINE_LINK_DIR}
                   $<TARGET_FILE:zel_serial_tests> --gtest_filter=${suite}.*)
endforeach()
foreach(case MessagesAreFramedByTheirHeaders EveryMessageOfABurstIsApplied TransmissionLongerThanTheTimeoutIsJoined
             CloseReopenAndChange TwoChannelsEachGetTheirOwnPanel ACallDuringTheFirstSecondIsOverridden
             AVanishedLineIsReopenedWhenItComesBack UnloadingBeforeOrAfterCloseChannelIsSafe
             ClosePortDuringAWaitingReadReturnsPromptly)
  add_test(NAME windows.channel.${case}
           COMMAND ${CMAKE_SOURCE_DIR}/tests/scripts/wine-serial-run.sh ${ZEL_WINE_LINK_DIR}
                   $<TARGET_FILE:zel_serial_tests> --gtest_filter=WineChannel.${case})
endforeach()
# The lifecycle faults with the substitute back end, each in a process of
# its own, as natively.
foreach(case OpenChannelInstallsThePortLast RacingCloseAndReopenNeverLoseAPort PurgeRestoresAReadTimeoutOfZero
             AReleasingCloseWithAnErrorCountsAsClosed ASecondCloseAnswersAsTheFirst)
  add_test(NAME windows.faults.${case}
           COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:zel_serial_tests>
                   --gtest_filter=Cases/LifecycleFaults.SoundBehaviour/${case})
  set_tests_properties(windows.faults.${case} PROPERTIES TIMEOUT 60)
endforeach()
get_property(zel_serial_test_names DIRECTORY PROPERTY TESTS)
list(FILTER zel_serial_test_names INCLUDE REGEX "^windows\\.(serial|channel)\\.")
set_tests_properties(${zel_serial_test_names} PROPERTIES
  ENVIRONMENT "WINEPREFIX=${ZEL_WINE_SERIAL_PREFIX}"
  RESOURCE_LOCK "wine-serial;wine-ptys"
  TIMEOUT 180)
