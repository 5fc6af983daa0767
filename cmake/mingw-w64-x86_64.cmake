# Cross-builds the Windows executables with Debian's mingw-w64 (g++-mingw-w64-x86-64).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KESTRUNE_MINGW_PREFIX x86_64-w64-mingw32)
# The posix thread model gives std::thread and std::mutex with this compiler version.
set(CMAKE_C_COMPILER ${KESTRUNE_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KESTRUNE_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${KESTRUNE_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KESTRUNE_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Tests of the cross-built executables run under Wine.
find_program(KESTRUNE_WINE NAMES wine wine64)
if(KESTRUNE_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KESTRUNE_WINE})
endif()
