# Shared part of the mingw-w64 toolchain files: Debian's cross compilers for the triplet in
# KUPACK_MINGW_TRIPLET, static linking so that kupack.exe needs nothing beyond the system's
# own DLLs, and wine (when installed) to run the tests of the cross build.
set(CMAKE_SYSTEM_NAME Windows)
# The compilers of the POSIX thread model: those of the win32 model lack std::mutex, which
# GoogleTest needs.
set(CMAKE_C_COMPILER ${KUPACK_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KUPACK_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${KUPACK_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KUPACK_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The C and C++ runtimes of the compiler and its thread library go into the executable.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Tests of the cross build run under wine; "wine" picks the loader that fits the executable.
find_program(KUPACK_WINE NAMES wine)
if(KUPACK_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KUPACK_WINE})
endif()
