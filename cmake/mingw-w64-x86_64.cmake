# Cross build of the Qt-free layers for 64-bit Windows with Debian's MinGW-w64.
# Everything links statically so the executables run under Wine without any
# MinGW DLL beside them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_orvane_triple x86_64-w64-mingw32)
# The -posix variants: std::thread and std::mutex need the winpthreads model.
set(CMAKE_C_COMPILER ${_orvane_triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_orvane_triple}-g++-posix)
set(CMAKE_RC_COMPILER ${_orvane_triple}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${_orvane_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Debian's wine64 package installs its loader outside PATH.
if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
  find_program(ORVANE_WINE NAMES wine64 wine PATHS /usr/lib/wine /usr/lib64/wine NO_CMAKE_FIND_ROOT_PATH)
  if(ORVANE_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${ORVANE_WINE})
  endif()
endif()
