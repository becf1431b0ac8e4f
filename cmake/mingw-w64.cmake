# Cross-building for 64-bit Windows with Debian's MinGW-w64 compiler, the
# flavour with POSIX threads (std::thread, std::mutex).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(BRENVIK_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${BRENVIK_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${BRENVIK_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${BRENVIK_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${BRENVIK_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The programs run from here under Wine: tests and test discovery alike.
find_program(BRENVIK_WINE NAMES wine wine64 REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${BRENVIK_WINE})
