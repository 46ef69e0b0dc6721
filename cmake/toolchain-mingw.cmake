# Cross build for 64-bit Windows with MinGW-w64 (Debian's g++-mingw-w64-x86-64).
# The posix thread model compilers: with the win32 model std::thread,
# std::mutex and GoogleTest do not compile. Executables are linked fully
# static, so they import only Windows system DLLs, and run under Wine
# through cmake/wine-run (the emulator ctest uses for every test).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_mingw x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${_mingw}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_mingw}-g++-posix)
set(CMAKE_RC_COMPILER ${_mingw}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${_mingw})
# SQLite, civetweb and prometheus-cpp built for Windows by scripts/mingw-deps
# (Debian has them for Linux only): found there when it has run.
get_filename_component(_platewise_deps ${CMAKE_CURRENT_LIST_DIR}/../build/mingw-deps/prefix ABSOLUTE)
set(PLATEWISE_MINGW_DEPS ${_platewise_deps}
    CACHE PATH "Prefix of the libraries scripts/mingw-deps builds")
if(EXISTS ${PLATEWISE_MINGW_DEPS}/include)
  list(APPEND CMAKE_FIND_ROOT_PATH ${PLATEWISE_MINGW_DEPS})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# printf and friends as C99 says (%zu, %lld, %Lf), as on the other builds,
# instead of msvcrt.dll's older ones.
set(CMAKE_C_FLAGS_INIT "-D__USE_MINGW_ANSI_STDIO=1")
set(CMAKE_CXX_FLAGS_INIT "-D__USE_MINGW_ANSI_STDIO=1")

# Every program runs under Wine in a prefix of this build's own.
set(CMAKE_CROSSCOMPILING_EMULATOR
    ${CMAKE_CURRENT_LIST_DIR}/wine-run --prefix ${CMAKE_BINARY_DIR}/wine)

# Header-only packages come from the build machine's /usr/include, one
# package at a time (cmake/mingw-host-packages).
set(CLI11_DIR ${CMAKE_CURRENT_LIST_DIR}/mingw-host-packages/CLI11 CACHE PATH "")
set(nlohmann_json_DIR ${CMAKE_CURRENT_LIST_DIR}/mingw-host-packages/nlohmann_json CACHE PATH "")
