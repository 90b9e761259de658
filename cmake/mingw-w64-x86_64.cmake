# Cross build for 64-bit Windows with Debian's MinGW-w64 (the posix thread model, for
# std::thread). KOR_WIN64_DEPS names the prefix that scripts/windows-deps.sh filled.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KOR_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KOR_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KOR_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${KOR_MINGW_TRIPLE}-windres)
set(CMAKE_AR ${KOR_MINGW_TRIPLE}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${KOR_MINGW_TRIPLE}-ranlib CACHE FILEPATH "")
set(CMAKE_STRIP ${KOR_MINGW_TRIPLE}-strip CACHE FILEPATH "")

# Seen by try_compile projects too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KOR_WIN64_DEPS)

# Appended to, so that a CMAKE_FIND_ROOT_PATH given on the command line (an unpacked
# archive, say) is searched too.
list(APPEND CMAKE_FIND_ROOT_PATH /usr/${KOR_MINGW_TRIPLE})
if(KOR_WIN64_DEPS)
  list(APPEND CMAKE_FIND_ROOT_PATH ${KOR_WIN64_DEPS})
  list(APPEND CMAKE_PREFIX_PATH ${KOR_WIN64_DEPS})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The MinGW runtime (libgcc, libstdc++, winpthread) is linked statically, so that the DLL
# and the programs need no DLL beyond Windows' own.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")
