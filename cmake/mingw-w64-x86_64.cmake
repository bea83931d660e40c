# Cross-compiling for 64-bit Windows with Debian's mingw-w64 (posix thread model) against the SDK
# that scripts/build-win-sdk.sh builds (Qt 5, SQLite, libarchive).
#
#   cmake -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -S . -B build-win
#
# The SDK folder is QUOR_WIN_SDK (a -D cache value, else the environment variable), by default
# ~/.cache/quor-win-sdk. Qt is found under <SDK>/qt without CMAKE_PREFIX_PATH; its moc, uic and rcc
# are Linux programs there, located by Qt's own package files.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_quor_mingw x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${_quor_mingw}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_quor_mingw}-g++-posix)
set(CMAKE_RC_COMPILER ${_quor_mingw}-windres)

if(NOT QUOR_WIN_SDK)
    if(DEFINED ENV{QUOR_WIN_SDK} AND NOT "$ENV{QUOR_WIN_SDK}" STREQUAL "")
        set(QUOR_WIN_SDK "$ENV{QUOR_WIN_SDK}")
    else()
        set(QUOR_WIN_SDK "$ENV{HOME}/.cache/quor-win-sdk")
    endif()
endif()
# try_compile projects read this file again; hand them the same SDK.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES QUOR_WIN_SDK)

set(CMAKE_FIND_ROOT_PATH /usr/${_quor_mingw} ${QUOR_WIN_SDK} ${QUOR_WIN_SDK}/qt)
# Build-time programs run here; libraries, headers and package files come from the Windows roots only.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
