# The Windows build: figures of the driver's Windows code under Wine.
add_executable(zel_wine_bench ${CMAKE_CURRENT_LIST_DIR}/wine_bench.cpp ${CMAKE_SOURCE_DIR}/tests/windows/line_link.cpp)
target_include_directories(zel_wine_bench PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/tests/windows)
target_link_libraries(zel_wine_bench PRIVATE zelcore korvan)
target_link_options(zel_wine_bench PRIVATE -static)
if(ZEL_BUILD_TESTS)
  add_test(NAME bench_wine_quick
           COMMAND ${CMAKE_SOURCE_DIR}/tests/scripts/wine-serial-run.sh ${CMAKE_BINARY_DIR}/wine-bench-links
                   $<TARGET_FILE:zel_wine_bench> --quick)
  set_tests_properties(bench_wine_quick PROPERTIES
    ENVIRONMENT "WINEPREFIX=${CMAKE_BINARY_DIR}/wine-bench" RUN_SERIAL TRUE TIMEOUT 180 LABELS bench)
endif()
