# Cross build for 64-bit Windows with MinGW-w64 (Debian's g++-mingw-w64-x86-64-posix). Only the -posix
# compilers have std::thread and its friends; -static leaves the programs importing KERNEL32 and msvcrt alone
# (without it they need libwinpthread-1.dll, which nothing ships). Tests run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(BRAE_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${BRAE_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${BRAE_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${BRAE_MINGW_PREFIX}-windres)
set(CMAKE_AR ${BRAE_MINGW_PREFIX}-ar)
set(CMAKE_RANLIB ${BRAE_MINGW_PREFIX}-ranlib)

set(CMAKE_FIND_ROOT_PATH /usr/${BRAE_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

find_program(BRAE_WINE wine REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${BRAE_WINE})
