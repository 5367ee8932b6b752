#!/bin/sh
# Lays out a throw-away installation and runs the installed programs on LTO
# bitcode objects. Arguments come from the build (see CMakeLists.txt).
set -eu
build=$1 work=$2 clang=$3 plugin=$4 ar=$5 nm=$6 ranlib=$7
triplet=$8 version=$9
shift 9
plugin_name=$1 sources=$2

show() {
    printf '\n$ %s\n' "$*"
    "$@"
}

rm -rf "$work"
prefix=$work/install
cmake --install "$build" --prefix "$prefix" >/dev/null

# Where an installation keeps its plug-in and its binary tools. The tool
# directory is reached from the versioned library directory by ".." steps, so
# that directory has to exist as well.
plugin_dir=$prefix/libexec/mavo12/mavo/$triplet/$version
tool_dir=$prefix/$triplet/bin
mkdir -p "$plugin_dir" "$tool_dir" "$prefix/lib/mavo12/mavo/$triplet/$version"
ln -s "$plugin" "$plugin_dir/$plugin_name"
ln -s "$ar" "$tool_dir/ar"
ln -s "$nm" "$tool_dir/nm"
ln -s "$ranlib" "$tool_dir/ranlib"

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
