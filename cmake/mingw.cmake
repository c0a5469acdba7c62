# Cross-compiling for Windows with Debian's mingw-w64 (the POSIX-threads variant). WDT_MINGW_TARGET
# picks the target: x86_64-w64-mingw32 (the default) or i686-w64-mingw32.
set(CMAKE_SYSTEM_NAME Windows)
if(NOT WDT_MINGW_TARGET)
  set(WDT_MINGW_TARGET x86_64-w64-mingw32)
endif()
string(REGEX REPLACE "-.*" "" CMAKE_SYSTEM_PROCESSOR ${WDT_MINGW_TARGET})
set(CMAKE_C_COMPILER ${WDT_MINGW_TARGET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${WDT_MINGW_TARGET}-g++-posix)
set(CMAKE_RC_COMPILER ${WDT_MINGW_TARGET}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${WDT_MINGW_TARGET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Test programs built for Windows run under Wine. 64-bit ones go straight to Wine's 64-bit loader:
# the usual launcher starts the 32-bit one first, which some machines can only emulate, slowly.
if(WDT_MINGW_TARGET MATCHES "^x86_64" AND EXISTS /usr/lib/wine/wine64)
  set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
else()
  set(CMAKE_CROSSCOMPILING_EMULATOR wine)
endif()
