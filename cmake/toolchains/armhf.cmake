# The kit's board: ARM hard-float Linux, built with Debian's cross toolchain
# (crossbuild-essential-armhf) against multiarch :armhf packages installed on
# the build machine (scripts/setup/cross-deps installs both).
#
#   cmake -S . -B build-armhf --toolchain cmake/toolchains/armhf.cmake \
#         -DKELVEX_BUILD_SIM=OFF -DKELVEX_BUILD_BENCH=OFF -DKELVEX_BUILD_PYTHON=OFF
#
# With Debian's qemu-user installed, ctest runs the cross-built tests under
# qemu-arm.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7l)

set(KELVEX_CROSS_TRIPLET arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${KELVEX_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${KELVEX_CROSS_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${KELVEX_CROSS_TRIPLET})

# Multiarch keeps armhf libraries in /usr/lib/arm-linux-gnueabihf and the
# C library in /usr/arm-linux-gnueabihf; the arch-independent headers
# (GoogleTest's among them) stay in /usr/include. Searching the host prefix
# with the library architecture finds the armhf builds first; programs are
# always the build machine's own.
set(CMAKE_FIND_ROOT_PATH /usr/${KELVEX_CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
# Libraries that are not multiarch (in /usr/lib itself) and the build
# machine's own are of the wrong architecture: never link them.
list(APPEND CMAKE_SYSTEM_IGNORE_PATH /usr/lib /lib /usr/local/lib
     /usr/lib/x86_64-linux-gnu /lib/x86_64-linux-gnu /usr/local/lib/x86_64-linux-gnu)

# pkg-config looks only at the armhf .pc files.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${KELVEX_CROSS_TRIPLET}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")

# GNUInstallDirs picks the multiarch directory only for native builds.
set(CMAKE_INSTALL_LIBDIR lib/${KELVEX_CROSS_TRIPLET} CACHE PATH "Object code libraries (lib)")

# Debian package architecture, for the packages CPack makes.
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf CACHE STRING "")

find_program(KELVEX_QEMU_ARM qemu-arm)
if(KELVEX_QEMU_ARM)
  # The loader and C library of the armhf programs live under this prefix.
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KELVEX_QEMU_ARM} -L /usr/${KELVEX_CROSS_TRIPLET})
endif()
