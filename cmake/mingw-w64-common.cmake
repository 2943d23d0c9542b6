# What the two MinGW-w64 toolchain files share: the compilers named by
# TOLVANE_MINGW_TRIPLET, which that file sets before including this one.
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
