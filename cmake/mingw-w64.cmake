# Cross build of the Windows DLL with Debian's mingw-w64 toolchain; the
# toolchain file of each target names ZEL_MINGW_PREFIX and the processor.
set(CMAKE_SYSTEM_NAME Windows)
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
