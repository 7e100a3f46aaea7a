# Cross-compiles for 64-bit Windows with Debian's MinGW-w64 (posix thread model).
#   scripts/build-windows-deps
#   cmake -S . -B build-windows -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
# TAVERLY_WINDOWS_DEPS defaults to the script's default prefix, build-windows/deps.
# The posix variants are used because the win32 ones lack std::thread and
# std::mutex; scripts/build-windows-deps builds glog, libsodium and GoogleTest with
# this file too.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_mingw_triple x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${_mingw_triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_mingw_triple}-g++-posix)
set(CMAKE_RC_COMPILER ${_mingw_triple}-windres)

# Search only the MinGW sysroot and the prefix of scripts/build-windows-deps for
# libraries, headers and packages: a Linux header under /usr/include would shadow
# MinGW's C library. That prefix also holds GoogleTest's package files and links in
# Debian's header-only rapidxml and rapidjson. Build tools still come from the host.
get_filename_component(_mingw_deps "${CMAKE_CURRENT_LIST_DIR}/../build-windows/deps" ABSOLUTE)
set(TAVERLY_WINDOWS_DEPS "${_mingw_deps}" CACHE PATH
    "Prefix holding the MinGW builds of glog, libsodium and GoogleTest")
get_filename_component(TAVERLY_WINDOWS_DEPS "${TAVERLY_WINDOWS_DEPS}" ABSOLUTE)
set(CMAKE_FIND_ROOT_PATH /usr/${_mingw_triple} ${TAVERLY_WINDOWS_DEPS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Link libgcc, libstdc++ and winpthread into every binary: the program is copied
# to machines that have none of MinGW's DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

# Lets ctest and gtest_discover_tests run the Windows test programs.
if(NOT DEFINED CMAKE_CROSSCOMPILING_EMULATOR)
  find_program(_mingw_wine NAMES wine)
  if(_mingw_wine)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${_mingw_wine})
  endif()
endif()
