# Cross-build for 64-bit ARM Linux with Debian's cross compilers (g++-aarch64-linux-gnu).
# The arm64 libraries (libcurl, the benchmarks' reference parsers) are Debian's own, installed
# beside the build machine's through multiarch: headers under /usr/include/aarch64-linux-gnu,
# libraries under /usr/lib/aarch64-linux-gnu, both of which the cross compilers search.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(KVDMC_CROSS_TRIPLE aarch64-linux-gnu)

set(CMAKE_C_COMPILER ${KVDMC_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${KVDMC_CROSS_TRIPLE}-g++)
set(CMAKE_AR ${KVDMC_CROSS_TRIPLE}-gcc-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${KVDMC_CROSS_TRIPLE}-gcc-ranlib CACHE FILEPATH "")
set(CMAKE_NM ${KVDMC_CROSS_TRIPLE}-nm CACHE FILEPATH "")
set(CMAKE_STRIP ${KVDMC_CROSS_TRIPLE}-strip CACHE FILEPATH "")
set(CMAKE_OBJDUMP ${KVDMC_CROSS_TRIPLE}-objdump CACHE FILEPATH "")
set(CMAKE_READELF ${KVDMC_CROSS_TRIPLE}-readelf CACHE FILEPATH "")

# Libraries and package files are looked for in the multiarch folders of arm64 only (the
# build machine's own are under x86_64-linux-gnu, which is never searched), and in the
# cross compilers' tree; programs are the build machine's.
set(CMAKE_LIBRARY_ARCHITECTURE ${KVDMC_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH /usr/${KVDMC_CROSS_TRIPLE} /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
# pkg-config reads the arm64 .pc files, never the build machine's.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${KVDMC_CROSS_TRIPLE}/pkgconfig:/usr/share/pkgconfig)
unset(ENV{PKG_CONFIG_PATH})

# Test programs and benchmarks run under qemu's user-mode emulation, named here rather than
# left to binfmt_misc, which many machines and containers do not register. They load with the
# arm64 runtime of multiarch (/lib/ld-linux-aarch64.so.1 and /lib/aarch64-linux-gnu, which
# libcurl's arm64 package brings), the one the arm64 libraries were built against. Not with
# -L /usr/aarch64-linux-gnu: that loader is the cross toolchain's own glibc build, and with the
# multiarch libc.so.6 beside it the first thread a program starts never returns.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)
