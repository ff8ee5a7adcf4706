# Cross build for 64-bit Windows with Debian's mingw-w64 (posix threads).
# The programs and tests are linked statically, so that each .exe runs alone,
# and run under Wine by CTest (see WineRun.cmake).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KM_MINGW_TRIPLE x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${KM_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KM_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${KM_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KM_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(ZLIB_USE_STATIC_LIBS ON)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Tests run through Wine, in a prefix of the build's own.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh --prefix ${CMAKE_BINARY_DIR}/wine)
