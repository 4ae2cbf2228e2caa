# Cross-compiling for 32-bit Windows with Debian's MinGW-w64 (the "-posix" compilers), the
# game server's own architecture. Programs run under 32-bit Wine (wine32:i386) through the
# emulator below.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(TOVI_MINGW_PREFIX i686-w64-mingw32)
set(CMAKE_C_COMPILER ${TOVI_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TOVI_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${TOVI_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TOVI_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Everything linked in, so that no MinGW runtime DLL has to be found when a program starts.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run)
