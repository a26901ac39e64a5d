# Cross build of the 32-bit Windows DLL with Debian's mingw-w64 toolchain.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(ZEL_MINGW_PREFIX i686-w64-mingw32)
# The posix thread model: its standard library has std::mutex and std::thread,
# which GoogleTest and the tests need. The DLLs link its runtime statically,
# so they import no libwinpthread.
set(CMAKE_C_COMPILER ${ZEL_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZEL_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${ZEL_MINGW_PREFIX}-windres)
set(CMAKE_DLLTOOL ${ZEL_MINGW_PREFIX}-dlltool)
set(CMAKE_OBJDUMP ${ZEL_MINGW_PREFIX}-objdump)
set(CMAKE_FIND_ROOT_PATH /usr/${ZEL_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
