#!/bin/sh
# A packager's installation: a build configured with its own
# CMAKE_INSTALL_BINDIR and CMAKE_INSTALL_MANDIR, installed into a DESTDIR
# staging area. Every file must land where asked, be listed in the install
# manifest, and nothing else may be installed.
#
# Usage: install.sh CMAKE SOURCE WORK GENERATOR [MAKE_PROGRAM]
# GENERATOR and MAKE_PROGRAM are those of the build that runs the test, so
# that it needs no tool that build did not.
set -eu
cmake=$1 source=$2 work=$3 generator=$4 make_program=${5:-}
fail() {
    echo "install: $*" >&2
    exit 1
}
rm -rf "$work"
mkdir -p "$work"
build=$work/build stage=$work/stage prefix=/opt/tc

"$cmake" -S "$source" -B "$build" -G "$generator" \
    ${make_program:+"-DCMAKE_MAKE_PROGRAM=$make_program"} -DBUILD_TESTING=OFF \
    -DCMAKE_INSTALL_BINDIR=tools/bin -DCMAKE_INSTALL_MANDIR=doc/manual \
    -DMAVO_CONFIGURED_BIN_DIR=/opt/tc/tools/bin/ >"$work/configure.log" 2>&1 ||
    { cat "$work/configure.log" >&2; fail "configuring failed"; }
"$cmake" --build "$build" >"$work/build.log" 2>&1 || { cat "$work/build.log" >&2; fail "building failed"; }
DESTDIR=$stage "$cmake" --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1 ||
    { cat "$work/install.log" >&2; fail "installing failed"; }

expected="$stage$prefix/doc/manual/man1/mavo-ar.1
$stage$prefix/doc/manual/man1/mavo-nm.1
$stage$prefix/doc/manual/man1/mavo-ranlib.1
$stage$prefix/share/doc/mavo/LICENSE
$stage$prefix/tools/bin/mavo-ar
$stage$prefix/tools/bin/mavo-nm
$stage$prefix/tools/bin/mavo-ranlib"
installed=$(cd / && find "$stage" -type f -o -type l | LC_ALL=C sort)
[ "$installed" = "$expected" ] || fail "installed:
$installed
expected:
$expected"
# The manifest names the files as they will lie once the staging is unpacked.
listed=$(sed "s|^|$stage|" "$build/install_manifest.txt" | LC_ALL=C sort)
[ "$listed" = "$expected" ] || fail "the manifest lists:
$listed"
for tool in ar nm ranlib; do
    [ -x "$stage$prefix/tools/bin/mavo-$tool" ] || fail "mavo-$tool is not executable"
done
# The page names this build's directories and version; the others source it.
grep -q 'opt/tc/tools/bin/' "$stage$prefix/doc/manual/man1/mavo-ar.1" ||
    fail "the manual page does not name the configured bin directory"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[ -n "$version" ] && grep -qF "$version" "$stage$prefix/doc/manual/man1/mavo-ar.1" ||
    fail "the manual page does not name the version '$version'"
[ "$(cat "$stage$prefix/doc/manual/man1/mavo-nm.1")" = ".so man1/mavo-ar.1" ] ||
    fail "mavo-nm.1 does not source mavo-ar.1"
echo "install: every file where asked and in the manifest"
