# Cross build for FreeBSD 14 on 64-bit Arm (aarch64-unknown-freebsd14) with
# clang and lld: `cmake --workflow --preset freebsd-aarch64`, checked by
# .ci/freebsd. It builds the three programs only: nothing built here can run
# on this machine, and the tests need a C++ library for the target.
#
# The sysroot is MAVO_FREEBSD_SYSROOT. Left at its default, it is laid out
# inside the build tree, once, from the FreeBSD 14 / aarch64 sysroot kit
# (MAVO_FREEBSD_KIT_DIR, by default ../shared/freebsd-14-aarch64 beside the
# source tree) with the kit's make-sysroot: FreeBSD's headers, start files
# and a link-only libc.so.7 with FreeBSD 14's symbols and versions. A
# packager points it at a real FreeBSD 14 sysroot instead (an extracted
# base.txz: usr/include, usr/lib, lib) and nothing else changes:
#   cmake --preset freebsd-aarch64 -DMAVO_FREEBSD_SYSROOT=/path/to/freebsd14-sysroot
#
# clang's own FreeBSD driver does the rest: it finds FreeBSD's headers, start
# files and libraries below the sysroot, names /libexec/ld-elf.so.1 as the
# interpreter and puts FreeBSD's ABI note in through the start files.

set(CMAKE_SYSTEM_NAME FreeBSD)
set(CMAKE_SYSTEM_VERSION 14.0)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(MAVO_FREEBSD_TARGET aarch64-unknown-freebsd14)

# Programs (the compilers, llvm-ar, ninja) from the host; everything else
# only from the sysroot.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_C_COMPILER clang)
set(CMAKE_C_COMPILER_TARGET ${MAVO_FREEBSD_TARGET})
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_CXX_COMPILER_TARGET ${MAVO_FREEBSD_TARGET})
# lld, as FreeBSD links. -nostdlib++: nothing built here links a C++
# library. The programs need none (they depend on the C library alone), the
# kit has none, and with it off the link line CMake's own checks link
# against the kit as they would against a real sysroot; the driver's default
# C++ library also varies with how the host's clang was built (Debian's
# names libstdc++, FreeBSD's own libc++).
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld -nostdlib++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-fuse-ld=lld -nostdlib++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-fuse-ld=lld -nostdlib++")
# The project stops configuring when asked for tests with this toolchain.
set(MAVO_TOOLCHAIN_HAS_NO_CXX_LIBRARY ON)

# The sysroot. CMake reads this file again in each of its try-compile
# projects, which have build trees of their own: they are handed the value in
# force instead of a default of their own.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES MAVO_FREEBSD_SYSROOT)
cmake_path(SET mavo_freebsd_default_kit NORMALIZE "${CMAKE_CURRENT_LIST_DIR}/../../shared/freebsd-14-aarch64")
if(DEFINED ENV{MAVO_FREEBSD_KIT_DIR})
  set(mavo_freebsd_default_kit "$ENV{MAVO_FREEBSD_KIT_DIR}")
endif()
set(MAVO_FREEBSD_KIT_DIR "${mavo_freebsd_default_kit}" CACHE PATH
    "The FreeBSD 14 / aarch64 sysroot kit whose make-sysroot lays out the default MAVO_FREEBSD_SYSROOT")
set(mavo_freebsd_default_sysroot "${CMAKE_BINARY_DIR}/freebsd-14-aarch64-sysroot")
set(MAVO_FREEBSD_SYSROOT "${mavo_freebsd_default_sysroot}" CACHE PATH
    "FreeBSD 14 / aarch64 sysroot (usr/include, usr/lib, lib); by default laid out in the build tree from MAVO_FREEBSD_KIT_DIR")

if(MAVO_FREEBSD_SYSROOT STREQUAL mavo_freebsd_default_sysroot
   AND NOT IS_DIRECTORY "${MAVO_FREEBSD_SYSROOT}/usr/include")
  if(NOT EXISTS "${MAVO_FREEBSD_KIT_DIR}/make-sysroot")
    message(FATAL_ERROR
      "MAVO_FREEBSD_KIT_DIR is '${MAVO_FREEBSD_KIT_DIR}': no make-sysroot there to lay out the "
      "default sysroot. Point MAVO_FREEBSD_KIT_DIR at the FreeBSD 14 / aarch64 sysroot kit, or "
      "MAVO_FREEBSD_SYSROOT at a FreeBSD 14 sysroot.")
  endif()
  # make-sysroot builds FreeBSD's start files with clang, the libc stub with
  # python3 and ld.lld.
  foreach(tool IN ITEMS clang ld.lld python3)
    string(MAKE_C_IDENTIFIER "MAVO_FREEBSD_${tool}" variable)
    string(TOUPPER "${variable}" variable)
    find_program(${variable} ${tool})
    if(NOT ${variable})
      message(FATAL_ERROR "Laying out the FreeBSD sysroot from ${MAVO_FREEBSD_KIT_DIR} needs ${tool}, "
                          "which is not on PATH")
    endif()
  endforeach()
  # Into a directory of its own first, so that an interrupted run leaves no
  # half sysroot that the next one would take for a whole one.
  set(mavo_partial "${MAVO_FREEBSD_SYSROOT}.partial")
  message(STATUS "Laying out a FreeBSD 14 / aarch64 sysroot in ${MAVO_FREEBSD_SYSROOT} "
                 "from ${MAVO_FREEBSD_KIT_DIR}")
  execute_process(
    COMMAND ${CMAKE_COMMAND} -E env CLANG=${MAVO_FREEBSD_CLANG} LLD=${MAVO_FREEBSD_LD_LLD}
            sh "${MAVO_FREEBSD_KIT_DIR}/make-sysroot" "${mavo_partial}"
    RESULT_VARIABLE mavo_status OUTPUT_QUIET ERROR_VARIABLE mavo_errors)
  if(NOT mavo_status EQUAL 0)
    file(REMOVE_RECURSE "${mavo_partial}")
    message(FATAL_ERROR "${MAVO_FREEBSD_KIT_DIR}/make-sysroot failed (${mavo_status}):\n${mavo_errors}")
  endif()
  file(RENAME "${mavo_partial}" "${MAVO_FREEBSD_SYSROOT}")
endif()

if(NOT IS_DIRECTORY "${MAVO_FREEBSD_SYSROOT}/usr/include")
  message(FATAL_ERROR
    "MAVO_FREEBSD_SYSROOT is '${MAVO_FREEBSD_SYSROOT}': it has no usr/include, so it is no FreeBSD "
    "sysroot. Give a FreeBSD 14 / aarch64 sysroot (an extracted base.txz), or leave the variable "
    "at its default to have one laid out from the kit.")
endif()
set(CMAKE_SYSROOT "${MAVO_FREEBSD_SYSROOT}")

# LLVM's archiver, for the product libraries: it writes the symbol index of
# aarch64 objects, which the host's binutils (Debian's know x86 alone) would
# leave out, and lld wants it.
find_program(MAVO_LLVM_AR NAMES llvm-ar llvm-ar-14 DOC "LLVM's ar, for the target's static libraries")
find_program(MAVO_LLVM_RANLIB NAMES llvm-ranlib llvm-ranlib-14 DOC "LLVM's ranlib")
if(NOT MAVO_LLVM_AR OR NOT MAVO_LLVM_RANLIB)
  message(FATAL_ERROR "The FreeBSD cross build needs LLVM's llvm-ar and llvm-ranlib (Debian: llvm), "
                      "which are not on PATH")
endif()
set(CMAKE_AR ${MAVO_LLVM_AR} CACHE FILEPATH "Archiver" FORCE)
set(CMAKE_RANLIB ${MAVO_LLVM_RANLIB} CACHE FILEPATH "Ranlib" FORCE)
