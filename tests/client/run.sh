#!/bin/sh
# The client test: installs the programs into a fresh prefix, completes it as
# a compiler installation, then configures the client project with
# interprocedural optimisation and the installed programs as the manual
# page's CMake example names them, builds it with MAVO_TRACE set, and runs it.
# Where /usr/lib/bfd-plugins can be hidden, the plain ar and nm first fail on
# the client's sources made into LTO objects, so that the index and the
# symbols checked below are the plug-in's work.
#
# Usage: run.sh BUILD WORK CLANG then the arguments of
#        cmake/lay_out_installation.sh after its first two
set -eu
here=$(cd "$(dirname "$0")" && pwd)
test_name=client
. "$here/../installed_test.sh"

for name in area perimeter; do
    "$clang" -flto -O2 -c "$here/$name.c" -o "$work/$name.o"
done
plain_tools_fail "$work/area.o" "$work/perimeter.o"

cmake -S "$here" -B "$work/build" -G Ninja -DCMAKE_C_COMPILER="$clang" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INTERPROCEDURAL_OPTIMIZATION=ON \
    -DCMAKE_AR="$bin/mavo-ar" -DCMAKE_RANLIB="$bin/mavo-ranlib" -DCMAKE_NM="$bin/mavo-nm" \
    -DCMAKE_C_COMPILER_AR="$bin/mavo-ar" -DCMAKE_C_COMPILER_RANLIB="$bin/mavo-ranlib" \
    >"$work/configure.log" 2>&1 || { cat "$work/configure.log"; fail "configure failed"; }
MAVO_TRACE=1 cmake --build "$work/build" -v >"$work/build.log" 2>&1 ||
    { cat "$work/build.log"; fail "build failed"; }

# The objects are bitcode because of interprocedural optimisation, and the
# archive went through our programs: each one's trace names the tool it ran,
# with the plug-in, and mavo-ar's shows its first-argument rule at work.
grep -Eq -- " -flto(=thin)? .*area\.c" "$work/build.log" ||
    { cat "$work/build.log"; fail "interprocedural optimisation did not reach the compiler"; }
grep -Eq -- "^mavo-ar [0-9.]+: .*/ar --plugin .* -[a-z]+ .*libshapes\.a" "$work/build.log" ||
    { cat "$work/build.log"; fail "mavo-ar did not make the archive"; }
grep -Eq -- "^mavo-ranlib [0-9.]+: .*/ranlib --plugin .* .*libshapes\.a" "$work/build.log" ||
    { cat "$work/build.log"; fail "mavo-ranlib did not index the archive"; }
# The index names the bitcode members' symbols: what GNU ld looks up to pull
# members out of the archive (lld finds them without it).
for entry in "square_area area" "square_perimeter perimeter"; do
    set -- $entry
    grep -Eq "^$1 in ($2\.c\.o|$2\.o)\$" "$work/build/shapes.nm" ||
        { cat "$work/build/shapes.nm"; fail "the archive's index lacks $1"; }
    grep -Eq "^[0-9a-f]+ T $1\$" "$work/build/shapes.nm" ||
        { cat "$work/build/shapes.nm"; fail "mavo-nm does not list $1 as defined"; }
done

output=$("$work/build/client")
[ "$output" = "area 9 perimeter 12" ] || fail "the client printed '$output'"
echo "client: built with interprocedural optimisation, linked and ran through mavo-ar, mavo-ranlib and mavo-nm: $output"
