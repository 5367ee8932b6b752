#!/bin/sh
# The programs carry no part of the C++ runtime and need none: no symbol of
# it, defined or undefined, in the regular or the dynamic symbol table, and,
# when dynamically linked, no C++ runtime library among the needed ones. It
# looks at the files themselves, so it holds for every build (dynamic,
# static, musl, cross) and needs neither /proc nor a run.
#
# Usage: sh no_cxx_runtime.sh NM READELF PROGRAM...
#   NM, READELF  the build's own tools (a cross build passes its own, e.g.
#                aarch64-linux-gnu-nm or llvm-nm), each one command
# Exit status 0 when no program has any of it, 1 naming each program and
# each offending symbol ("PROGRAM: symbol NAME") or library ("PROGRAM:
# needs LIBRARY") on standard output, 2 when a file cannot be read.
#
# Symbols, matched as the raw mangled names:
#   __cxa_*              the C++ ABI's support (throw, catch, guarded local
#                        statics, pure virtual calls, thread_local
#                        destructors), except __cxa_atexit, __cxa_finalize
#                        and __cxa_thread_atexit_impl, which the C library
#                        itself defines and every C program's start files
#                        use
#   __gxx_personality*   the C++ exception personality
#   *__cxxabiv1*, __dynamic_cast   RTTI's classes and casts
#   _Znw* _Zna* _Zdl* _Zda*   operator new, new[], delete, delete[], every
#                        overload (sized, aligned, nothrow)
#   std:: and __gnu_cxx:: manglings: _ZSt (functions and objects of std,
#                        such as __throw_length_error, cout, terminate),
#                        _ZNSt/_ZNKSt (members of std's classes: a
#                        container's functions, std::__1:: of libc++ too),
#                        the abbreviations of std::allocator, basic_string,
#                        string, istream, ostream and iostream (_ZSa _ZSb
#                        _ZSs _ZSi _ZSo _ZSd, also nested), and the special
#                        names of all those: vtables, VTTs, type_info
#                        objects and names, guard variables, thread-local
#                        wrappers (_ZTVSt, _ZTISt, _ZTSSt, _ZTTSt, _ZGVNSt,
#                        _ZTWSt, ...)
#   _Unwind_*            the unwinder (libgcc_s, libgcc_eh, libunwind): any
#                        reference to it, and any copy of it in a program
#                        that needs shared libraries. A program that needs
#                        none (linked statically) may hold a copy: static
#                        glibc's libc.a brings libgcc_eh's unwinder for its
#                        own thread cancellation and backtrace, which is C
#                        library, not C++ runtime; a C++ use of it would
#                        still show through __gxx_personality* and
#                        __cxa_throw, which stay forbidden there.
# Libraries among NEEDED: libstdc++, libc++, libc++abi, libsupc++,
# libcxxrt, libgcc_s and libunwind, any version.
set -uf

if [ "$#" -lt 3 ]; then
    echo "usage: sh no_cxx_runtime.sh NM READELF PROGRAM..." >&2
    exit 2
fi
nm_command=$1
readelf_command=$2
shift 2

cxx_symbols='^(__cxa_|__gxx_personality|__dynamic_cast$|_Unwind_|_Zn[wa]|_Zd[la]|_Z(T[VTIS]|GV|T[HW])?(N[rVK]*[RO]?)?(S[tabsiod]|9__gnu_cxx))|__cxxabiv1'
c_library_symbols='^(__cxa_atexit|__cxa_finalize|__cxa_thread_atexit_impl)$'
cxx_libraries='^(libstdc\+\+|libc\+\+|libc\+\+abi|libsupc\+\+|libcxxrt|libgcc_s|libunwind)([.-]|$)'

failed=0
broken=0
for program in "$@"; do
    # One table at a time: each may be missing (a stripped program has no
    # regular one, a static one no dynamic one), which nm reports with
    # status 0; a status other than 0 is a file it cannot read.
    if ! regular=$("$nm_command" -P "$program" 2>/dev/null) ||
       ! dynamic=$("$nm_command" -P -D "$program" 2>/dev/null) ||
       ! dynamic_section=$("$readelf_command" -dW "$program" 2>/dev/null); then
        echo "no_cxx_runtime: cannot read $program with $nm_command and $readelf_command" >&2
        broken=1
        continue
    fi
    needed=$(printf '%s\n' "$dynamic_section" | sed -n 's/.*(NEEDED).*\[\(.*\)\].*/\1/p')
    if [ -z "$regular$dynamic" ]; then
        echo "no_cxx_runtime: note: $program has no symbols; only its needed libraries are checked" >&2
    fi
    # Each line of nm -P: name, type, value, size; a dynamic symbol's name
    # may carry its version after '@'.
    offending=$(printf '%s\n%s\n' "$regular" "$dynamic" |
        awk -v cxx="$cxx_symbols" -v clib="$c_library_symbols" -v static="$([ -z "$needed" ] && echo 1)" '
            NF >= 2 {
                name = $1
                sub(/@.*/, "", name)
                undefined = ($2 == "U" || $2 == "w" || $2 == "v")
                if (name !~ cxx || name ~ clib)
                    next
                if (static == "1" && name ~ /^_Unwind_/ && !undefined)
                    next
                print name
            }' | sort -u)
    for symbol in $offending; do
        echo "$program: symbol $symbol"
        failed=1
    done
    for library in $needed; do
        if printf '%s\n' "$library" | grep -Eq "$cxx_libraries"; then
            echo "$program: needs $library"
            failed=1
        fi
    done
done
[ "$broken" = 0 ] || exit 2
[ "$failed" = 0 ] || exit 1
echo "no_cxx_runtime: $# programs, none with any of the C++ runtime"
exit 0
