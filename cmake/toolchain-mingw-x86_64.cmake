# Cross-builds tolvane for Windows (x86_64) from Linux with MinGW-w64.
#   cmake -S . -B build-win-x86_64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-x86_64.cmake
# tolvane.exe is linked fully static (libgcc, libstdc++, winpthread), so it
# needs no DLL beyond the ones every Windows installation ships: the project's
# TOLVANE_STATIC option, on by default with MinGW, adds -static to that one
# executable, so it is not repeated here for every program.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TOLVANE_MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
