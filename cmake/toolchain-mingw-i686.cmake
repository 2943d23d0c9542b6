# Cross-builds tolvane for Windows (i686) from Linux with MinGW-w64.
#   cmake -S . -B build-win-i686 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-i686.cmake
# tolvane.exe is linked fully static (libgcc, libstdc++, winpthread), so it
# needs no DLL beyond the ones every Windows installation ships: the project's
# TOLVANE_STATIC option, on by default with MinGW, adds -static to that one
# executable, so it is not repeated here for every program.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(TOLVANE_MINGW_TRIPLET i686-w64-mingw32)
set(CMAKE_C_COMPILER   ${TOLVANE_MINGW_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${TOLVANE_MINGW_TRIPLET}-g++)
set(CMAKE_RC_COMPILER  ${TOLVANE_MINGW_TRIPLET}-windres)

# Headers and libraries come only from the MinGW-w64 sysroot; programs
# (code generators, test tools) still come from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${TOLVANE_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Lets CTest (and try_run) start the .exe files through wine.
find_program(TOLVANE_WINE_PROGRAM NAMES wine)
if(TOLVANE_WINE_PROGRAM)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${TOLVANE_WINE_PROGRAM})
endif()
