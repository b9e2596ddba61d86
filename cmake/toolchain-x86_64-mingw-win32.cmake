# The 64-bit client library: MinGW-w64 x86_64, -win32 threading flavour, fully static like what
# ships in 32 bits. This tree builds the SDK alone (TAMSU_SDK_ONLY).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TAMSU_MINGW_FLAVOUR win32)
set(TAMSU_SDK_ONLY ON)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-win32)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-win32)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
