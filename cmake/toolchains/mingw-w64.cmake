# Cross build for Windows with MinGW-w64 (Debian's g++-mingw-w64-*-posix).
# Included by the per-architecture files, which set FENRA_MINGW_ARCH.
#
# The posix variant of the compiler is required: the core uses std::mutex,
# which the win32 variant of GCC 12 lacks. Everything is linked statically, so the executables need no
# MinGW runtime DLLs beside them (under Wine or on a real machine).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${FENRA_MINGW_ARCH})

set(_triplet ${FENRA_MINGW_ARCH}-w64-mingw32)
set(CMAKE_C_COMPILER ${_triplet}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_triplet}-g++-posix)
set(CMAKE_RC_COMPILER ${_triplet}-windres)
set(FENRA_WINDMC ${_triplet}-windmc)
set(FENRA_WIDL ${_triplet}-widl)

set(CMAKE_FIND_ROOT_PATH /usr/${_triplet})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
