# Cross-builds the Windows DLL, its tests and tools on Linux with MinGW-w64
# (x86_64, win32 thread model). Test programs run under Wine when it is
# installed; the test scripts choose the Wine prefix (WINEPREFIX) themselves.
#
#   cmake --preset windows
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -B build/windows

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(STOW_MINGW_PREFIX x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${STOW_MINGW_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${STOW_MINGW_PREFIX}-g++)
set(CMAKE_RC_COMPILER ${STOW_MINGW_PREFIX}-windres)

# Headers and libraries come from the MinGW-w64 sysroot only; programs run
# during the build come from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${STOW_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Lets ctest (and add_test with a target as the command) run the .exe files.
# Debian's "wine" runs 64-bit programs through wine64.
find_program(WINE_PROGRAM NAMES wine wine64 DOC "Wine, to run the Windows tests")
if(WINE_PROGRAM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${WINE_PROGRAM})
endif()
