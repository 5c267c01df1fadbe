# Cross-compiles for Windows x86-64 with Debian's mingw-w64 compilers (the
# posix-threads variant, which has std::thread and std::mutex), linking the
# C and C++ runtimes statically so that the program runs alone on any
# Windows 10 or 11, against the SQLite and PCRE2 that deps.sh builds:
#
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=packaging/windows/toolchain.cmake
#
# Programs built here run under Wine through wine-run.sh (ctest, and tests
# that list themselves at build time, use it by themselves).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(plinth_windows_triple x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${plinth_windows_triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${plinth_windows_triple}-g++-posix)
set(CMAKE_RC_COMPILER ${plinth_windows_triple}-windres)

# Where deps.sh installs; the toolchain file is read again for every
# try_compile, which needs to be told the value.
if(NOT PLINTH_WINDOWS_PREFIX)
  get_filename_component(PLINTH_WINDOWS_PREFIX
    "${CMAKE_CURRENT_LIST_DIR}/../../build-windows/deps/prefix" ABSOLUTE)
endif()
set(PLINTH_WINDOWS_PREFIX "${PLINTH_WINDOWS_PREFIX}" CACHE PATH
  "Where SQLite and PCRE2 built for Windows are installed")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES PLINTH_WINDOWS_PREFIX)

# Headers and libraries come from the compiler's own tree and the prefix,
# never from this machine's /usr; programs (pkg-config, tools) from here.
set(CMAKE_FIND_ROOT_PATH /usr/${plinth_windows_triple} "${PLINTH_WINDOWS_PREFIX}")
set(CMAKE_PREFIX_PATH "${PLINTH_WINDOWS_PREFIX}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config reads only the prefix's .pc files: this machine's would name
# Linux libraries.
set(ENV{PKG_CONFIG_LIBDIR} "${PLINTH_WINDOWS_PREFIX}/lib/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
# Users of a static PCRE2 on Windows must say so, or its header declares
# every function as imported from a DLL; the .pc file says it too.
set(CMAKE_C_FLAGS_INIT -DPCRE2_STATIC)
set(CMAKE_CXX_FLAGS_INIT -DPCRE2_STATIC)

# winpthread, libgcc and libstdc++ go into the program, not beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/wine-run.sh")
