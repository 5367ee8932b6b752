# The musl build (MAVO_MUSL, preset `musl`): mavo-ar, mavo-nm and mavo-ranlib
# linked fully statically against musl. Such a program needs no shared
# library at all, so it runs on any Linux whatever its C library, and it
# starts without a dynamic loader.
#
# Only the programs, and the tests' probe linked as they are
# (tests/program_probe.cc), are musl programs. GoogleTest, the test binary and
# the child it starts (tests/probe.cc) stay on the system's C library, and so
# do the product libraries the unit tests link; the programs get copies of
# those libraries compiled from the same sources against musl
# (mavo_musl_copy).
#
# Compiling: -nostdinc drops every directory the compiler would search by
# itself (the system's C headers, gcc's include-fixed made for them, and the
# C++ library's, which -nostdinc++ on all product code drops as well). musl's
# headers come first, then gcc's own include directory for what the compiler
# provides (<stdarg.h>'s builtins, intrinsics), as musl's own compiler
# wrapper orders them.
#
# Linking: -nostdlib drops the compiler's start files and default libraries
# (the system's C library and libstdc++ among them), and the link line names
# every file: musl's crt1.o and crti.o, gcc's crtbeginT.o (its start file for
# static programs), the objects, then musl's libc.a with libgcc.a, gcc's
# crtend.o and musl's crtn.o, in the order of gcc's own static link. Nothing
# is found by searching, so nothing of the system's C library can slip in,
# and whatever still wants the C++ runtime (operator new, a guarded local
# static, __cxa_*, the unwinder) fails to link instead of pulling it in.
# musl's compiler wrapper (musl-gcc) is not used: its settings are made for
# the C driver, whose start files they replace with the position-independent
# ones whether or not the link is static, and g++ 12 has no -nostdlib++ to
# keep its libstdc++ off the link line.
#
# Cross-compiling (preset `aarch64-musl`, cmake/aarch64-linux-gnu.cmake) works
# the same way: musl for the target comes from Debian's multiarch musl-dev of
# the target's architecture (musl-dev:arm64), which lives in the host's tree,
# not in the cross compiler's sysroot, and the gcc files are the cross
# compiler's own. The test binary and GoogleTest stay on the cross
# compiler's C library.
#
# Sets up mavo_musl_copy(name library...), and mavo_musl_compile and
# mavo_musl_link, which make a target that links them a musl program: its
# sources compiled against musl, linked statically with musl alone. Libraries
# of ours that such a target links must be musl copies, linked before them.

if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  message(FATAL_ERROR "MAVO_MUSL needs g++ (its crtbeginT.o, crtend.o and libgcc.a); use the 'musl' preset")
endif()
if(MAVO_SANITIZE)
  message(FATAL_ERROR "MAVO_MUSL and MAVO_SANITIZE do not go together: the sanitizer runtimes need the system's C library")
endif()

# Debian's musl-dev puts musl below the target's triplet (from
# CMAKE_SYSTEM_PROCESSOR: the host's natively, the toolchain file's when
# cross-compiling). A musl built from its sources installs into
# /usr/local/musl by default, but that one is the host's, so a cross build
# looks below the triplet alone. The paths are the host's own: the cross
# sysroot (CMAKE_FIND_ROOT_PATH) must not re-root them.
set(mavo_musl_triplet ${CMAKE_SYSTEM_PROCESSOR}-linux-musl)
set(mavo_musl_include_paths /usr/include/${mavo_musl_triplet})
set(mavo_musl_lib_paths /usr/lib/${mavo_musl_triplet})
if(CMAKE_CROSSCOMPILING)
  set(mavo_musl_install "musl-dev of the target's Debian architecture, e.g. musl-dev:arm64; .ci/aarch64 does")
else()
  list(APPEND mavo_musl_include_paths /usr/lib/musl/include /usr/local/musl/include)
  list(APPEND mavo_musl_lib_paths /usr/lib/musl/lib /usr/local/musl/lib)
  set(mavo_musl_install "musl-dev musl-tools; .ci/musl does")
endif()
find_path(MAVO_MUSL_INCLUDE_DIR NAMES stdio.h PATHS ${mavo_musl_include_paths}
          NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH DOC "musl's header directory")
find_path(MAVO_MUSL_LIB_DIR NAMES libc.a crt1.o PATHS ${mavo_musl_lib_paths}
          NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH
          DOC "musl's library directory (libc.a and the start files)")
if(NOT MAVO_MUSL_INCLUDE_DIR OR NOT MAVO_MUSL_LIB_DIR)
  message(FATAL_ERROR "MAVO_MUSL: musl's headers or libraries for ${CMAKE_SYSTEM_PROCESSOR} not found "
                      "(Debian: apt-get install ${mavo_musl_install}), "
                      "or set MAVO_MUSL_INCLUDE_DIR and MAVO_MUSL_LIB_DIR")
endif()

# gcc's own files, as the compiler in use names them (a cross compiler names
# its own, built for the target).
function(mavo_gcc_file variable name)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${name}
                  OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
  # gcc prints the bare name back when it has no such file.
  if(NOT IS_ABSOLUTE "${path}" OR NOT EXISTS "${path}")
    message(FATAL_ERROR "MAVO_MUSL: ${CMAKE_CXX_COMPILER} has no ${name}")
  endif()
  set(${variable} ${path} PARENT_SCOPE)
endfunction()
mavo_gcc_file(mavo_gcc_include_dir include)
mavo_gcc_file(mavo_gcc_crtbegin crtbeginT.o)
mavo_gcc_file(mavo_gcc_crtend crtend.o)
mavo_gcc_file(mavo_gcc_libgcc libgcc.a)

foreach(file IN ITEMS crt1.o crti.o crtn.o libc.a)
  if(NOT EXISTS ${MAVO_MUSL_LIB_DIR}/${file})
    message(FATAL_ERROR "MAVO_MUSL: ${MAVO_MUSL_LIB_DIR} lacks ${file}")
  endif()
endforeach()

add_library(mavo_musl_compile INTERFACE)
target_compile_options(mavo_musl_compile INTERFACE
    -nostdinc "SHELL:-isystem ${MAVO_MUSL_INCLUDE_DIR}" "SHELL:-isystem ${mavo_gcc_include_dir}")

# The start files go in front of the objects with the link options, the rest
# after every library as link items of their own.
add_library(mavo_musl_link INTERFACE)
target_link_options(mavo_musl_link INTERFACE
    -static -nostdlib ${MAVO_MUSL_LIB_DIR}/crt1.o ${MAVO_MUSL_LIB_DIR}/crti.o ${mavo_gcc_crtbegin})
target_link_libraries(mavo_musl_link INTERFACE
    -Wl,--start-group ${MAVO_MUSL_LIB_DIR}/libc.a ${mavo_gcc_libgcc} -Wl,--end-group
    ${mavo_gcc_crtend} ${MAVO_MUSL_LIB_DIR}/crtn.o)

# `name`: one static library of the given product libraries' sources,
# compiled against musl.
function(mavo_musl_copy name)
  set(sources "")
  foreach(library IN LISTS ARGN)
    get_target_property(library_sources ${library} SOURCES)
    get_target_property(source_dir ${library} SOURCE_DIR)
    list(TRANSFORM library_sources PREPEND "${source_dir}/" REGEX "^[^/$]")
    list(APPEND sources ${library_sources})
  endforeach()
  add_library(${name} STATIC ${sources})
  target_link_libraries(${name} PRIVATE mavo_product mavo_musl_compile)
endfunction()
