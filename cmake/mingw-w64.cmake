# Cross-builds the tools for 64-bit Windows with Debian's MinGW-w64 compilers
# against a static Qt (scripts/windows/build-qt.sh makes one):
#   cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DKMZ_QT_PREFIX=<qt>
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

# The -posix thread model: the -win32 one lacks what QtCore and <thread> need.
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)

# The toolchain file is read again for each compile check, which sees only the
# variables named here.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KMZ_QT_PREFIX)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 ${KMZ_QT_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The programs carry the C and C++ runtimes, so that they need only Windows' own DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

find_program(KMZ_WINE NAMES wine64 wine PATHS /usr/lib/wine)
if(KMZ_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KMZ_WINE})
endif()
