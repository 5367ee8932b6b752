# What the demo and the client test need to make and read real LTO objects
# (host tools, also when the programs are cross-built):
# clang, LLVM's gold plug-in (standing in for the compiler's own plug-in), lld
# to link against the archive, and the system's ar, nm and ranlib. Sets MAVO_LTO_TOOLS_FOUND, and
# MAVO_LTO_TOOLS_MISSING to a sentence saying what is missing and how to get it.

find_program(MAVO_LTO_CLANG NAMES clang clang-14 DOC "C compiler that makes LTO bitcode objects")

find_program(MAVO_LTO_LLVM_CONFIG NAMES llvm-config llvm-config-14)
set(mavo_gold_hints /usr/lib/llvm-14/lib /usr/lib/llvm/lib /usr/local/lib)
if(MAVO_LTO_LLVM_CONFIG)
  execute_process(COMMAND ${MAVO_LTO_LLVM_CONFIG} --libdir
                  OUTPUT_VARIABLE mavo_llvm_libdir OUTPUT_STRIP_TRAILING_WHITESPACE)
  list(PREPEND mavo_gold_hints ${mavo_llvm_libdir})
endif()
find_file(MAVO_LTO_PLUGIN NAMES LLVMgold.so HINTS ${mavo_gold_hints} NO_CMAKE_FIND_ROOT_PATH
          DOC "Plug-in that lets ar, nm and ranlib read LLVM bitcode")

find_program(MAVO_LTO_LLD NAMES ld.lld ld.lld-14 DOC "LLVM's linker, which links LTO objects with clang -fuse-ld=lld")

foreach(mavo_tool IN ITEMS ar nm ranlib)
  find_program(MAVO_LTO_${mavo_tool} NAMES ${mavo_tool})
endforeach()

set(MAVO_LTO_TOOLS_MISSING "")
if(NOT MAVO_LTO_CLANG)
  string(APPEND MAVO_LTO_TOOLS_MISSING "clang, to compile LTO objects (Debian: apt-get install clang). ")
endif()
if(NOT MAVO_LTO_PLUGIN)
  string(APPEND MAVO_LTO_TOOLS_MISSING
         "LLVM's gold plug-in LLVMgold.so, to stand in for ${MAVO_PLUGIN_FILE_NAME} "
         "(Debian: apt-get install llvm-14, or set MAVO_LTO_PLUGIN to its path). ")
endif()
if(NOT MAVO_LTO_LLD)
  string(APPEND MAVO_LTO_TOOLS_MISSING "lld, to link a program against the archive (Debian: apt-get install lld). ")
endif()
if(NOT MAVO_LTO_ar OR NOT MAVO_LTO_nm OR NOT MAVO_LTO_ranlib)
  string(APPEND MAVO_LTO_TOOLS_MISSING "ar, nm and ranlib (Debian: apt-get install binutils). ")
endif()
if(MAVO_LTO_TOOLS_MISSING STREQUAL "")
  set(MAVO_LTO_TOOLS_FOUND TRUE)
else()
  set(MAVO_LTO_TOOLS_FOUND FALSE)
endif()

# The arguments of cmake/lay_out_installation.sh after the build and prefix.
set(MAVO_LAY_OUT_ARGUMENTS
    ${MAVO_LTO_PLUGIN} ${MAVO_LTO_ar} ${MAVO_LTO_nm} ${MAVO_LTO_ranlib} ${MAVO_LAYOUT_ARGUMENTS})
