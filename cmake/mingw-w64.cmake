# Cross-compiles for Windows with Debian's mingw-w64 (posix thread model, which
# std::thread and std::async need). Use one of the two wrappers beside this file:
#     cmake -S . -B build/win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
#     cmake -S . -B build/win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake
# Programs are linked statically, so they run under wine or on Windows without any
# compiler runtime DLL beside them.
if(NOT ORVANE_MINGW_ARCH)
    message(FATAL_ERROR "include mingw-w64-x86_64.cmake or mingw-w64-i686.cmake instead")
endif()

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${ORVANE_MINGW_ARCH})

set(_triple ${ORVANE_MINGW_ARCH}-w64-mingw32)
find_program(CMAKE_C_COMPILER NAMES ${_triple}-gcc-posix REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${_triple}-g++-posix REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${_triple}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# GoogleTest is built from the sources Debian's libgtest-dev ships: the host's prebuilt
# library is a Linux one.
set(ORVANE_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources to build")
