# Cross-compiling the Windows program on Linux with mingw-w64 (scripts/build-windows).
# The -posix compilers: their C++ library has std::thread and std::mutex, which the
# runtime's automation server and the support libraries use.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(NIMBRA_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${NIMBRA_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${NIMBRA_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${NIMBRA_MINGW_PREFIX}-windres)
set(CMAKE_ASM_COMPILER ${NIMBRA_MINGW_PREFIX}-gcc-posix)

set(CMAKE_FIND_ROOT_PATH /usr/${NIMBRA_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
