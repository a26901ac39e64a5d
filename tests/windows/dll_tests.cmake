# The real ZELWNQX.DLL, loaded as the host loads it, driven with records laid
# out byte for byte.
zel_windows_test_program(zel_dll_tests ${CMAKE_CURRENT_LIST_DIR}/dll_test.cpp)
add_test(NAME windows.dll COMMAND zel_dll_tests)
set_tests_properties(windows.dll PROPERTIES TIMEOUT 120)

# Export table and import list of the built file.
add_test(NAME windows.dll_exports_and_imports
         COMMAND ${CMAKE_SOURCE_DIR}/tests/scripts/check-dll-linkage.sh ${CMAKE_OBJDUMP} $<TARGET_FILE:zelwnqx>)
