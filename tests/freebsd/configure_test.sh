#!/bin/sh
# Configuring with the FreeBSD toolchain file and a bad sysroot or kit stops
# with a message that names the variable and its value; so does asking it
# for the tests. The first cases stop while the toolchain file is read, so
# they need neither clang nor a sysroot; the last needs a real sysroot
# (SYSROOT, optional) to get past CMake's compiler checks.
# They configure only, so CMake's default generator (or $CMAKE_GENERATOR)
# serves: Ninja need not be there.
#
# Usage: configure_test.sh CMAKE SOURCE WORK [SYSROOT]
set -u
cmake=$1 source=$2 work=$3 sysroot=${4-}
failures=0
rm -rf "$work"
mkdir -p "$work/empty"

# configure NAME TEXT [-DVAR=VALUE ...]: configuring must fail with TEXT in
# what it printed, with CMake's line breaks folded into blanks.
configure() {
    name=$1 text=$2
    shift 2
    "$cmake" -S "$source" -B "$work/$name" \
        --toolchain "$source/cmake/aarch64-freebsd.cmake" -DBUILD_TESTING=OFF "$@" \
        >"$work/$name.log" 2>&1
    status=$?
    folded=$(tr -s ' \n' '  ' <"$work/$name.log")
    if [ "$status" = 0 ]; then
        echo "freebsd configure: $name: configuring succeeded" >&2
        cat "$work/$name.log" >&2
        failures=$((failures + 1))
    fi
    case $folded in
    *"$text"*) ;;
    *)
        echo "freebsd configure: $name: no '$text' in:" >&2
        cat "$work/$name.log" >&2
        failures=$((failures + 1))
        ;;
    esac
}

configure sysroot-without-headers \
    "MAVO_FREEBSD_SYSROOT is '$work/empty': it has no usr/include, so it is no FreeBSD sysroot" \
    -DMAVO_FREEBSD_SYSROOT="$work/empty"
configure sysroot-missing \
    "MAVO_FREEBSD_SYSROOT is '$work/nowhere': it has no usr/include, so it is no FreeBSD sysroot" \
    -DMAVO_FREEBSD_SYSROOT="$work/nowhere"
configure kit-missing \
    "MAVO_FREEBSD_KIT_DIR is '$work/empty': no make-sysroot there to lay out the default sysroot" \
    -DMAVO_FREEBSD_KIT_DIR="$work/empty"
if [ -n "$sysroot" ]; then
    configure tests-asked-for \
        "The tests need a C++ library for the target, and this toolchain ($source/cmake/aarch64-freebsd.cmake) links none: configure with -DBUILD_TESTING=OFF" \
        -DMAVO_FREEBSD_SYSROOT="$sysroot" -DBUILD_TESTING=ON
fi

if [ "$failures" = 0 ]; then
    echo "freebsd configure: a bad sysroot or kit stops configuring, named$([ -n "$sysroot" ] && echo ', and so do the tests')"
    rm -rf "$work"
fi
[ "$failures" = 0 ]
