# The build-time values the programs are compiled with, checked before
# anything is built: a value that would configure silently into a program
# that searches the wrong places stops configuring instead.

# The three directories are empty unless given: each then follows
# CMAKE_INSTALL_PREFIX (below), so that a packager's prefix reaches the
# programs and the manual page without three more arguments.
set(MAVO_CONFIGURED_BIN_DIR "" CACHE STRING
    "Directory the programs are installed into (absolute, ends in '/'; empty: <prefix>/bin/)")
set(MAVO_CONFIGURED_EXEC_DIR "" CACHE STRING
    "The compiler's library directory (absolute, ends in '/'; empty: <prefix>/lib/mavo12/mavo/)")
set(MAVO_CONFIGURED_LIBEXEC_DIR "" CACHE STRING
    "The compiler's directory of private programs and plug-ins (absolute, ends in '/'; empty: <prefix>/libexec/mavo12/mavo/)")
set(MAVO_TARGET_TRIPLET "aarch64-portbld-freebsd14.4" CACHE STRING
    "Target triplet: a directory below the two above and below the installation root")
set(MAVO_COMPILER_VERSION "12.4.1" CACHE STRING
    "Version directory below the triplet directory")
set(MAVO_TOOL_DIR_CLIMB "" CACHE STRING
    "From the versioned library directory up to the installation root, ending in '/' (empty: computed from the directories above)")
set(MAVO_PLUGIN_FILE_NAME "libmeld_plugin.so" CACHE STRING
    "File name of the link-time optimisation plug-in")

# CMake cuts a value at each ';' wherever it hands it on as a list: the
# compile definitions then broke the build, far from the value that caused
# it. '"' and '\' would end or escape the C string literal the value is
# compiled into.
set(mavo_refused_characters "[\";\\\\]")
set(mavo_refused_characters_text "it must not hold '\"', '\\' or ';'")

# The directories' defaults are the compiler's own below the prefix, which
# therefore passes the checks a directory given passes (one '/' at its end
# may be left out, as prefixes usually are). CMake makes a prefix given on
# the command line without a type absolute, and folds its '//'; one given as
# a STRING, by a preset or an initial cache, reaches these checks as it is.
set(mavo_prefix "${CMAKE_INSTALL_PREFIX}")
if(NOT mavo_prefix MATCHES "^/")
  message(FATAL_ERROR "CMAKE_INSTALL_PREFIX is '${mavo_prefix}': it must be an absolute directory")
endif()
if(mavo_prefix MATCHES "${mavo_refused_characters}")
  message(FATAL_ERROR "CMAKE_INSTALL_PREFIX is '${mavo_prefix}': ${mavo_refused_characters_text}")
endif()
if(NOT mavo_prefix MATCHES "/$")
  string(APPEND mavo_prefix "/")
endif()
if(mavo_prefix MATCHES "//|/\\.\\.?/")
  message(FATAL_ERROR "CMAKE_INSTALL_PREFIX is '${CMAKE_INSTALL_PREFIX}': "
                      "it must be in normal form, without '//' or a '.' or '..' component")
endif()
set(mavo_default_BIN_DIR "${mavo_prefix}bin/")
set(mavo_default_EXEC_DIR "${mavo_prefix}lib/mavo12/mavo/")
set(mavo_default_LIBEXEC_DIR "${mavo_prefix}libexec/mavo12/mavo/")
foreach(dir IN ITEMS BIN EXEC LIBEXEC)
  if(MAVO_CONFIGURED_${dir}_DIR STREQUAL "")
    # A normal variable of the same name, as for the climb below: a later
    # change of the prefix moves the default with it.
    set(MAVO_CONFIGURED_${dir}_DIR "${mavo_default_${dir}_DIR}")
    set(mavo_${dir}_origin "from CMAKE_INSTALL_PREFIX")
  else()
    set(mavo_${dir}_origin "given")
  endif()
endforeach()

# The programs join these texts to file names by plain concatenation, so a
# missing '/' would glue two names together; and a relative one would make an
# unmoved installation search below whatever the working directory is.
foreach(name IN ITEMS MAVO_CONFIGURED_BIN_DIR MAVO_CONFIGURED_EXEC_DIR MAVO_CONFIGURED_LIBEXEC_DIR)
  set(value "${${name}}")
  if(NOT value MATCHES "^/.*/$")
    message(FATAL_ERROR
      "${name} is '${value}': it must be an absolute directory that ends in '/'")
  endif()
  if(value MATCHES "${mavo_refused_characters}")
    message(FATAL_ERROR "${name} is '${value}': ${mavo_refused_characters_text}")
  endif()
  # The programs compare the bin directory with where they really lie, a
  # path with symbolic links resolved, which never holds an empty, '.' or
  # '..' component, and the other two with it component by component, to
  # carry them along when the installation moves. A text in any other form
  # never matches, and what is computed from it comes out wrong too
  # ('/usr/local/bin//' made the installation root '/usr/local/bin//' and
  # the tool directory '/usr/local/bin/<triplet>/bin/'). Refused rather
  # than rewritten: a packager's typo is then seen where it was made.
  if(value MATCHES "//|/\\.\\.?/")
    message(FATAL_ERROR
      "${name} is '${value}': it must be in normal form, without '//' or a '.' or '..' component")
  endif()
endforeach()
# These become single directory or file names below the directories above:
# '.' or '..' would name another directory instead.
foreach(name IN ITEMS MAVO_TARGET_TRIPLET MAVO_COMPILER_VERSION MAVO_PLUGIN_FILE_NAME)
  set(value "${${name}}")
  if(value MATCHES "^(\\.\\.?)?$" OR value MATCHES "[/\";\\\\]")
    message(FATAL_ERROR
      "${name} is '${value}': it must be a non-empty file name without '/', '\"', '\\' or ';', "
      "and not '.' or '..'")
  endif()
endforeach()

# The installation root is the bin directory's parent; the tool directory is
# <root><triplet>/bin/, reached from the versioned library directory.
string(REGEX REPLACE "[^/]+/$" "" MAVO_INSTALL_ROOT "${MAVO_CONFIGURED_BIN_DIR}")
set(mavo_versioned_exec_dir
    "${MAVO_CONFIGURED_EXEC_DIR}${MAVO_TARGET_TRIPLET}/${MAVO_COMPILER_VERSION}/")

if(MAVO_TOOL_DIR_CLIMB STREQUAL "")
  file(RELATIVE_PATH mavo_climb "${mavo_versioned_exec_dir}" "${MAVO_INSTALL_ROOT}")
  if(NOT mavo_climb MATCHES "(^|/)$")
    string(APPEND mavo_climb "/")
  endif()
  # A normal variable of the same name: everything below reads the value in
  # force, and a later change of the directories computes it anew.
  set(MAVO_TOOL_DIR_CLIMB "${mavo_climb}")
else()
  if(NOT MAVO_TOOL_DIR_CLIMB MATCHES "/$" OR MAVO_TOOL_DIR_CLIMB MATCHES "${mavo_refused_characters}")
    message(FATAL_ERROR "MAVO_TOOL_DIR_CLIMB is '${MAVO_TOOL_DIR_CLIMB}': it must end in '/' "
                        "and hold no '\"', '\\' or ';' (or be empty, to have it computed)")
  endif()
  # A climb has the form of a computed one: a run of '../', then the names of
  # directories down to the root where the library directory lies outside it.
  # The system resolves each '..' where it stands, from a directory that must
  # exist, while the check below compares texts: a detour such as
  # '../x/../../../../../' would pass it and yet lead nowhere without x, and
  # '//', '.' or a leading '/' would make the climb say something else than
  # it seems to.
  string(REGEX REPLACE "^(\\.\\./)+" "" mavo_climb_descent "${MAVO_TOOL_DIR_CLIMB}")
  if(NOT mavo_climb_descent MATCHES "^([^/]+/)*$" OR mavo_climb_descent MATCHES "(^|/)\\.\\.?/")
    message(FATAL_ERROR "MAVO_TOOL_DIR_CLIMB is '${MAVO_TOOL_DIR_CLIMB}': it must be a run of '../' "
                        "followed by plain directory names, each ending in '/', with no '//' "
                        "(or be empty, to have it computed)")
  endif()
  cmake_path(SET mavo_climb_leads NORMALIZE "${mavo_versioned_exec_dir}${MAVO_TOOL_DIR_CLIMB}")
  cmake_path(SET mavo_root_normal NORMALIZE "${MAVO_INSTALL_ROOT}")
  if(NOT mavo_climb_leads STREQUAL mavo_root_normal)
    message(WARNING
      "MAVO_TOOL_DIR_CLIMB '${MAVO_TOOL_DIR_CLIMB}' leads from ${mavo_versioned_exec_dir} to "
      "${mavo_climb_leads}, not to the installation root ${MAVO_INSTALL_ROOT} (the parent of "
      "MAVO_CONFIGURED_BIN_DIR): the programs will look for the tool in "
      "${mavo_climb_leads}${MAVO_TARGET_TRIPLET}/bin/")
  endif()
endif()

# The same directories as the manual page names them.
cmake_path(SET MAVO_CONFIGURED_TOOL_DIR NORMALIZE
           "${mavo_versioned_exec_dir}${MAVO_TOOL_DIR_CLIMB}${MAVO_TARGET_TRIPLET}/bin/")
set(MAVO_CONFIGURED_VERSIONED_EXEC_DIR "${mavo_versioned_exec_dir}")
set(MAVO_CONFIGURED_VERSIONED_LIBEXEC_DIR
    "${MAVO_CONFIGURED_LIBEXEC_DIR}${MAVO_TARGET_TRIPLET}/${MAVO_COMPILER_VERSION}/")
foreach(dir IN ITEMS BIN EXEC LIBEXEC)
  file(RELATIVE_PATH MAVO_${dir}_FROM_ROOT "${MAVO_INSTALL_ROOT}" "${MAVO_CONFIGURED_${dir}_DIR}")
  if(NOT MAVO_${dir}_FROM_ROOT MATCHES "(^|/)$")
    string(APPEND MAVO_${dir}_FROM_ROOT "/")
  endif()
endforeach()

# Where an installation moved to <prefix> keeps its plug-in and its tools, as
# the configured directories say: relative to <prefix>/bin, as the programs
# find them. These are the build's own arguments of
# cmake/lay_out_installation.sh (after the build, the prefix, the plug-in and
# the tools), also written one a line to the build directory for scripts
# that lay out an installation of a build they did not configure (the
# benchmark).
file(RELATIVE_PATH mavo_exec_from_bin "${MAVO_CONFIGURED_BIN_DIR}" "${MAVO_CONFIGURED_EXEC_DIR}")
file(RELATIVE_PATH mavo_libexec_from_bin "${MAVO_CONFIGURED_BIN_DIR}" "${MAVO_CONFIGURED_LIBEXEC_DIR}")
set(MAVO_LAYOUT_ARGUMENTS ${mavo_exec_from_bin} ${mavo_libexec_from_bin} ${MAVO_TARGET_TRIPLET}
    ${MAVO_COMPILER_VERSION} ${MAVO_TOOL_DIR_CLIMB} ${MAVO_PLUGIN_FILE_NAME})
list(JOIN MAVO_LAYOUT_ARGUMENTS "\n" mavo_layout_lines)
file(WRITE "${PROJECT_BINARY_DIR}/layout_arguments.txt" "${mavo_layout_lines}\n")

# What was chosen, in one block: the defaults follow the prefix, and the
# default triplet is the FreeBSD aarch64 port's, whatever machine builds.
if(MAVO_TARGET_TRIPLET STREQUAL "aarch64-portbld-freebsd14.4")
  set(mavo_triplet_origin " (the default: the FreeBSD 14.4 aarch64 port's compiler)")
else()
  set(mavo_triplet_origin "")
endif()
message(STATUS "mavo ${PROJECT_VERSION}: the programs are configured for these directories "
               "(CMAKE_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX}):\n"
               "   MAVO_CONFIGURED_BIN_DIR      ${MAVO_CONFIGURED_BIN_DIR} (${mavo_BIN_origin})\n"
               "   MAVO_CONFIGURED_EXEC_DIR     ${MAVO_CONFIGURED_EXEC_DIR} (${mavo_EXEC_origin})\n"
               "   MAVO_CONFIGURED_LIBEXEC_DIR  ${MAVO_CONFIGURED_LIBEXEC_DIR} (${mavo_LIBEXEC_origin})\n"
               "   MAVO_TARGET_TRIPLET          ${MAVO_TARGET_TRIPLET}${mavo_triplet_origin}\n"
               "   MAVO_COMPILER_VERSION        ${MAVO_COMPILER_VERSION}\n"
               "   tool directory ${MAVO_CONFIGURED_TOOL_DIR} (MAVO_TOOL_DIR_CLIMB ${MAVO_TOOL_DIR_CLIMB})\n"
               "   versioned libexec directory ${MAVO_CONFIGURED_VERSIONED_LIBEXEC_DIR}")
