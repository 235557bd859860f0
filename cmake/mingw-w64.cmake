# Cross-build for 64-bit Windows with Debian's mingw-w64 (g++-mingw-w64-x86-64).
# The -posix compilers are the ones whose libstdc++ has std::thread and std::mutex.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KVDMC_MINGW_TRIPLE x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${KVDMC_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KVDMC_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${KVDMC_MINGW_TRIPLE}-windres)
set(CMAKE_AR ${KVDMC_MINGW_TRIPLE}-gcc-ar-posix CACHE FILEPATH "")
set(CMAKE_RANLIB ${KVDMC_MINGW_TRIPLE}-gcc-ranlib-posix CACHE FILEPATH "")

# Libraries and headers come from the mingw tree only: the build host's glibc headers
# would break the build.
set(CMAKE_FIND_ROOT_PATH /usr/${KVDMC_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs run under wine through this runner (it needs a wineserver already up).
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run)
