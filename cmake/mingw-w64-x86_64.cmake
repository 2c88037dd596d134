# Cross-builds for 64-bit Windows with Debian's MinGW-w64 compilers.
# The -posix variants are named explicitly: the plain x86_64-w64-mingw32-g++ may point to the
# -win32 thread model, which has no std::thread or std::mutex.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QEL_MINGW_TARGET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QEL_MINGW_TARGET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QEL_MINGW_TARGET}-g++-posix)
set(CMAKE_RC_COMPILER ${QEL_MINGW_TARGET}-windres)
set(CMAKE_AR ${QEL_MINGW_TARGET}-ar CACHE FILEPATH "Archiver")
set(CMAKE_RANLIB ${QEL_MINGW_TARGET}-ranlib CACHE FILEPATH "Ranlib")
set(CMAKE_STRIP ${QEL_MINGW_TARGET}-strip CACHE FILEPATH "Strip")

# Libraries and headers come from the MinGW sysroot only (and from prefixes the caller adds to
# CMAKE_FIND_ROOT_PATH); the host's /usr/include and /usr/lib are never searched. Programs
# (python3, the code generators) are the host's.
list(APPEND CMAKE_FIND_ROOT_PATH /usr/${QEL_MINGW_TARGET})
list(REMOVE_DUPLICATES CMAKE_FIND_ROOT_PATH)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs (CTest, test discovery) run under Wine through a wrapper that keeps one prefix,
# in the build folder unless QEL_WINEPREFIX names another, and one wineserver for the whole run.
get_filename_component(_qel_source_root "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR
    "${_qel_source_root}/scripts/wine-session.sh;--default-prefix;${CMAKE_BINARY_DIR}/wineprefix;run")
