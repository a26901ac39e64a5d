# The 32-bit Windows DLL, the product hosts load.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(ZEL_MINGW_PREFIX i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
