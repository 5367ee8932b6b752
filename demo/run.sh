#!/bin/sh
# Lays out a throw-away installation and runs the installed programs on LTO
# bitcode objects. Where /usr/lib/bfd-plugins can be hidden (see
# cmake/without_bfd_plugins.sh), the system's ar and nm first show what they
# make of these objects alone: an archive without index, and "file format not
# recognized"; every index and symbol the programs then show is the plug-in's
# work. Arguments come from the build (see CMakeLists.txt): the build, the
# work directory, clang, the C sources, then those of
# cmake/lay_out_installation.sh after its first two.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
test_name=demo
. "$here/../cmake/without_bfd_plugins.sh"
build=$1 work=$2 clang=$3 sources=$4
shift 4
plain_ar=$2 plain_nm=$3

# Shows a command and what it wrote; its exit status is the function's and
# stays in `status`.
show() {
    printf '\n$ %s\n' "$*"
    status=0
    output=$("$@" 2>&1) || status=$?
    [ -z "$output" ] || printf '%s\n' "$output"
    return "$status"
}

fail() {
    echo "demo: $*" >&2
    exit 1
}

# The archive's index as the plain nm prints it, which needs no plug-in.
has_index() {
    "$plain_nm" -s "$1" 2>/dev/null | grep -q '^add in add\.o$'
}

rm -rf "$work"
mkdir -p "$work"
prefix=$work/install
sh "$here/../cmake/lay_out_installation.sh" "$build" "$prefix" "$@"

cd "$work"
for name in add scale greet main; do
    "$clang" -flto -O2 -c "$sources/$name.c" -o "$name.o"
done
echo "Installed into $prefix; LTO bitcode objects: add.o scale.o greet.o main.o"

if [ "$bfd_plugins_hidden" = yes ]; then
    echo
    echo "With $bfd_plugins hidden, the system's ar and nm alone, without --plugin:"
    show "$plain_ar" rcs plain.a add.o scale.o greet.o || fail "plain ar exited with $status"
    ! has_index plain.a || fail "plain ar indexed LTO objects with $bfd_plugins hidden: it loads a plug-in from elsewhere"
    echo "(exit status 0, yet plain.a has no index: ar could not read the members' symbols)"
    ! show "$plain_nm" add.o || fail "plain nm read an LTO object with $bfd_plugins hidden: it loads a plug-in from elsewhere"
    echo "(exit status $status)"
    echo
    echo "The installed programs, which pass the compiler's plug-in:"
fi

bin=$prefix/bin
show "$bin/mavo-ar" rcs libdemo.a add.o scale.o greet.o
has_index libdemo.a || fail "mavo-ar wrote no index"
show "$bin/mavo-ranlib" libdemo.a
has_index libdemo.a || fail "mavo-ranlib left no index"
show "$bin/mavo-ar" t libdemo.a
show "$bin/mavo-nm" -s libdemo.a
printf '%s\n' "$output" | grep -q '^[0-9a-f]* T add$' || fail "mavo-nm did not list add as defined"
# The index is what GNU ld looks members up in; lld finds them without it.
show "$clang" -flto -fuse-ld=lld main.o libdemo.a -o demo
show ./demo
echo
echo "demo: the archive of LTO objects was built, indexed, listed and linked through mavo-ar, mavo-ranlib and mavo-nm"
