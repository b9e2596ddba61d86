# What ships: MinGW-w64 i686, -win32 threading flavour (no winpthreads, so nothing newer than XP is imported).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(TAMSU_MINGW_FLAVOUR win32)
set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-win32)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-win32)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
