# Cross-builds tolvane for Windows (x86_64) from Linux with MinGW-w64.
#   cmake -S . -B build-win-x86_64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-x86_64.cmake
# tolvane.exe is linked fully static (libgcc, libstdc++, winpthread), so it
# needs no DLL beyond the ones every Windows installation ships: the project's
# TOLVANE_STATIC option, on by default with MinGW, adds -static to that one
# executable, so it is not repeated here for every program.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TOLVANE_MINGW_TRIPLET x86_64-w64-mingw32)
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
