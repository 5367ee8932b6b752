# Cross build for 64-bit Arm Linux with Debian's cross compiler
# (g++-aarch64-linux-gnu), tests run under qemu-user. .ci/aarch64 installs
# what this needs and runs it: `cmake --workflow --preset aarch64`, then
# `--preset aarch64-musl`, the same with MAVO_MUSL=ON (cmake/musl.cmake), whose
# programs are static musl ones and need nothing of the sysroot.
#
# The cross compiler already knows its sysroot (/usr/aarch64-linux-gnu, with
# include/ and lib/ directly below it), so CMAKE_SYSROOT stays unset: setting
# it would make the compiler look for usr/include below that directory.
#
# Processes the tests start run in one of two ways:
#  - the test binary itself (and GoogleTest's test discovery) run under
#    CMAKE_CROSSCOMPILING_EMULATOR, qemu-aarch64 with -L on the sysroot;
#  - a target program that an emulated process executes (mavo_probe, mavo-ar,
#    ...) is started by the kernel through the binfmt_misc entry for aarch64
#    ELF files, which runs qemu-aarch64 again. That qemu finds the sysroot
#    through /etc/qemu-binfmt/aarch64, Debian's default prefix for it, which
#    .ci/aarch64 links to the sysroot. This does not depend on the child's
#    environment, so tests that start children with an environment of their
#    own need no QEMU_* variable in it.
# Shell scripts and host tools started by the tests run natively.

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(MAVO_CROSS_PREFIX aarch64-linux-gnu-)
set(MAVO_CROSS_SYSROOT /usr/aarch64-linux-gnu)

# C too: GoogleTest, built from source for the target, enables it.
set(CMAKE_C_COMPILER ${MAVO_CROSS_PREFIX}gcc)
set(CMAKE_CXX_COMPILER ${MAVO_CROSS_PREFIX}g++)

# Libraries, headers and packages only from the target's tree; programs
# (ninja, qemu) from the host.
set(CMAKE_FIND_ROOT_PATH ${MAVO_CROSS_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(MAVO_QEMU_AARCH64 qemu-aarch64 NO_CMAKE_FIND_ROOT_PATH)
if(NOT MAVO_QEMU_AARCH64)
  message(FATAL_ERROR "qemu-aarch64 not found: install Debian's qemu-user (.ci/aarch64 does)")
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR ${MAVO_QEMU_AARCH64} -L ${MAVO_CROSS_SYSROOT})
