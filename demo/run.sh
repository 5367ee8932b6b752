#!/bin/sh
# Lays out a throw-away installation and runs the installed programs on LTO
# bitcode objects. Arguments come from the build (see CMakeLists.txt): the
# build, the work directory, clang, the C sources, then those of
# cmake/lay_out_installation.sh after its first two.
set -eu
build=$1 work=$2 clang=$3 sources=$4
shift 4

show() {
    printf '\n$ %s\n' "$*"
    "$@"
}

here=$(cd "$(dirname "$0")" && pwd)
rm -rf "$work"
mkdir -p "$work"
prefix=$work/install
sh "$here/../cmake/lay_out_installation.sh" "$build" "$prefix" "$@"

cd "$work"
for name in add scale greet main; do
    "$clang" -flto -O2 -c "$sources/$name.c" -o "$name.o"
done
echo "Installed into $prefix; LTO bitcode objects: add.o scale.o greet.o main.o"

bin=$prefix/bin
show "$bin/mavo-ar" rcs libdemo.a add.o scale.o greet.o
show "$bin/mavo-ranlib" libdemo.a
show "$bin/mavo-ar" t libdemo.a
show "$bin/mavo-nm" libdemo.a
# The symbol index is what a linker needs to pull members out of the archive.
show "$clang" -flto -fuse-ld=lld main.o libdemo.a -o demo
show ./demo
echo
echo "demo: the archive of LTO objects was built, indexed, listed and linked through mavo-ar, mavo-ranlib and mavo-nm"
