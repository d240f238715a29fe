# Cross-build for 32-bit Windows with MinGW-w64's GCC, found by its target name on PATH (or given with
# -DCMAKE_CXX_COMPILER=...). Where a distribution packages two thread flavours (Debian's "-posix" and "-win32"),
# the posix one is taken: GoogleTest, for the tests, needs its threads. The launcher itself uses neither.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(mingw i686-w64-mingw32)
find_program(CMAKE_C_COMPILER NAMES ${mingw}-gcc-posix ${mingw}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${mingw}-g++-posix ${mingw}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${mingw}-windres REQUIRED)

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
