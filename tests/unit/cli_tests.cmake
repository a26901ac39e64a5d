# zelhost and zelpanel on Linux: their logic (GoogleTest), their command
# lines (tests/cli/cases.txt), the whole chain on pseudo-terminals, and the
# demo. Sources and scripts live in tests/cli.
if(NOT TARGET zelhost OR NOT TARGET zelpanel)
  return()
endif()
set(ZEL_CLI_DIR ${CMAKE_SOURCE_DIR}/tests/cli)

file(GLOB zel_tool_test_sources CONFIGURE_DEPENDS ${ZEL_CLI_DIR}/*_test.cpp)
list(FILTER zel_tool_test_sources EXCLUDE REGEX "_win32_test\\.cpp$")
add_executable(zel_tool_tests ${zel_tool_test_sources})
target_include_directories(zel_tool_tests PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(zel_tool_tests PRIVATE zelhost_core zelpanel_core zelcore korvan GTest::gtest GTest::gtest_main)
add_dependencies(zel_tool_tests zelwnqx)
set_target_properties(zel_tool_tests PROPERTIES CROSSCOMPILING_EMULATOR ${ZEL_OWN_PTYS} TEST_LAUNCHER ${ZEL_OWN_PTYS})
gtest_discover_tests(zel_tool_tests TEST_PREFIX "tools." NO_PRETTY_VALUES DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 60)

set(ZEL_CLI_PLATFORM linux)
set(ZEL_CLI_RUN ${ZEL_OWN_PTYS})
set(ZEL_CLI_ZELHOST $<TARGET_FILE:zelhost>)
set(ZEL_CLI_ZELPANEL $<TARGET_FILE:zelpanel>)
set(ZEL_CLI_KORVAN $<TARGET_FILE:korvan>)
set(ZEL_CLI_PROPERTIES "")
include(${ZEL_CLI_DIR}/cases.cmake)

# The chain: zelpanel on a pseudo-terminal it creates, zelhost on the other end.
foreach(scenario read_after_listening capture_and_replay random_soak undone_in_one_read stable_path client_refused ctrl_c_closes
                 two_ports port_lost_and_back walk_test panel_stops silent_line port_busy refusals line_faults piped freed_number)
  add_test(NAME chain.linux.${scenario}
           COMMAND ${ZEL_OWN_PTYS} ${ZEL_CLI_DIR}/chain_test.sh ${scenario} $<TARGET_FILE_DIR:zelhost>)
  set_tests_properties(chain.linux.${scenario} PROPERTIES TIMEOUT 120 SKIP_RETURN_CODE 77)
endforeach()

# The demo once, in the plain build: the chain scenarios above already run
# the same tools under the sanitizers.
if(NOT ZEL_SANITIZE)
  add_test(NAME demo.linux
           COMMAND ${ZEL_OWN_PTYS} ${ZEL_CLI_DIR}/check_run.sh 0 out "^summary: all [0-9]+ points match$"
                   ${CMAKE_SOURCE_DIR}/tools/demo/demo.sh ${CMAKE_BINARY_DIR} --timeout 30)
  set_tests_properties(demo.linux PROPERTIES TIMEOUT 120)
endif()

# The MQTT gateway against the real Mosquitto broker, which each scenario
# starts on a free loopback port.
# In the plain build only: the gateway's own threads were checked under
# ThreadSanitizer by hand, and the broker's client library is not built for
# the sanitizers.
find_program(ZEL_MOSQUITTO mosquitto PATHS /usr/sbin)
if(ZEL_MOSQUITTO AND NOT ZEL_SANITIZE)
  foreach(scenario retained_and_events undone_then_restart latin1_points two_prefixes absent_port silent_panel clean_stop stop_while_connecting broker_restart sigkill_offline password tls config_dry_run)
    add_test(NAME mqtt.linux.${scenario}
             COMMAND ${ZEL_OWN_PTYS} ${ZEL_CLI_DIR}/mqtt_test.sh ${scenario} $<TARGET_FILE_DIR:zelhost>)
    set_tests_properties(mqtt.linux.${scenario} PROPERTIES TIMEOUT 90 ENVIRONMENT "PATH=/usr/sbin:$ENV{PATH}")
  endforeach()
  add_test(NAME demo.linux.mqtt COMMAND ${ZEL_OWN_PTYS} ${CMAKE_SOURCE_DIR}/tools/demo/demo-mqtt.sh ${CMAKE_BINARY_DIR})
  set_tests_properties(demo.linux.mqtt PROPERTIES TIMEOUT 90)
elseif(NOT ZEL_MOSQUITTO)
  message(WARNING "mosquitto not found: the MQTT gateway's tests are not registered (scripts/install-deps.sh installs it)")
endif()

# Two minutes of the chaos soak with a fixed seed: four panels, the gateway,
# a persistent broker, faults at random, and scripts/chaos_check.py reading
# MQTT and Modbus. Plain build only, as the MQTT scenarios; alone, since it
# keeps both cores busy; skipped (77) without mosquitto or python3-paho-mqtt.
if(NOT ZEL_SANITIZE AND NOT WIN32)
  add_test(NAME chaos.linux.smoke COMMAND ${CMAKE_SOURCE_DIR}/scripts/chaos.sh 120 --seed 20261209)
  set_tests_properties(chaos.linux.smoke PROPERTIES TIMEOUT 420 SKIP_RETURN_CODE 77 RUN_SERIAL TRUE
                       ENVIRONMENT "ZEL_CHAOS_BIN=$<TARGET_FILE_DIR:zelhost>;PATH=/usr/sbin:$ENV{PATH}")
endif()

# The gateway's Modbus TCP server alone (--no-mqtt), read by independent
# clients: mbpoll and pymodbus (Debian's python3-pymodbus). In every build,
# the sanitizers' too: no broker is involved.
find_program(ZEL_MBPOLL mbpoll)
execute_process(COMMAND /usr/bin/python3 -c "import pymodbus" RESULT_VARIABLE ZEL_PYMODBUS_MISSING OUTPUT_QUIET ERROR_QUIET)
if(ZEL_MBPOLL AND ZEL_PYMODBUS_MISSING EQUAL 0)
  foreach(scenario modbus_registers modbus_load modbus_allow_list modbus_clients modbus_descriptors modbus_no_thread)
    add_test(NAME modbus.linux.${scenario}
             COMMAND ${ZEL_OWN_PTYS} ${ZEL_CLI_DIR}/mqtt_test.sh ${scenario} $<TARGET_FILE_DIR:zelhost>)
    set_tests_properties(modbus.linux.${scenario} PROPERTIES TIMEOUT 90)
  endforeach()
else()
  message(WARNING "mbpoll or python3-pymodbus not found: the Modbus server's tests are not registered "
                  "(scripts/install-deps.sh installs them)")
endif()

# The gateway's HTTP server: its API, metrics (Prometheus's promtool) and
# security with curl, beside MQTT and Modbus; its page in headless Chromium
# (Selenium). In the plain build: the broker's client library and Chromium
# are not built for the sanitizers.
find_program(ZEL_PROMTOOL promtool)
find_program(ZEL_CHROMEDRIVER chromedriver)
execute_process(COMMAND /usr/bin/python3 -c "import selenium" RESULT_VARIABLE ZEL_SELENIUM_MISSING OUTPUT_QUIET ERROR_QUIET)
if(ZEL_MOSQUITTO AND ZEL_MBPOLL AND ZEL_PROMTOOL AND NOT ZEL_SANITIZE)
  foreach(scenario http_api http_security)
    add_test(NAME http.linux.${scenario} COMMAND ${ZEL_OWN_PTYS} ${ZEL_CLI_DIR}/mqtt_test.sh ${scenario} $<TARGET_FILE_DIR:zelhost>)
    set_tests_properties(http.linux.${scenario} PROPERTIES TIMEOUT 90 ENVIRONMENT "PATH=/usr/sbin:$ENV{PATH}")
  endforeach()
else()
  message(WARNING "mosquitto, mbpoll or promtool not found: the HTTP server's tests are not registered "
                  "(scripts/install-deps.sh installs them)")
endif()
if(ZEL_CHROMEDRIVER AND ZEL_SELENIUM_MISSING EQUAL 0 AND NOT ZEL_SANITIZE)
  add_test(NAME http.linux.http_page COMMAND ${ZEL_OWN_PTYS} ${ZEL_CLI_DIR}/mqtt_test.sh http_page $<TARGET_FILE_DIR:zelhost>)
  # Alone: its delays are measured against their limits.
  set_tests_properties(http.linux.http_page PROPERTIES TIMEOUT 120 RUN_SERIAL TRUE)
else()
  message(WARNING "chromium-driver or python3-selenium not found: the gateway page's browser test is not registered "
                  "(scripts/install-deps.sh installs them)")
endif()

# The Debian package, built from this tree and installed for real (as root),
# then removed again; not from the sanitizers' builds. Alone, so that its
# packing and checking never slow the timed chain scenarios.
if(NOT ZEL_SANITIZE)
  add_test(NAME package.linux.deb
           COMMAND ${ZEL_OWN_PTYS} ${CMAKE_SOURCE_DIR}/tests/scripts/check-package.sh deb ${CMAKE_BINARY_DIR} ${ZEL_CLI_DIR}/chain_test.sh)
  set_tests_properties(package.linux.deb PROPERTIES TIMEOUT 300 SKIP_RETURN_CODE 77 RUN_SERIAL TRUE)
endif()
