# Sourced by the tests that run the installed programs (tests/*/run.sh):
# takes the arguments BUILD WORK CLANG, then those of
# cmake/lay_out_installation.sh after its first two; installs the build into
# WORK/install, made afresh and completed as a compiler installation.
# Expects `test_name` and `here` (the test's own directory); sets `build`,
# `work`, `clang`, `bin` (the installed programs) and `fail`.
build=$1 work=$2 clang=$3
shift 3

fail() {
    echo "$test_name: $*" >&2
    exit 1
}

rm -rf "$work"
mkdir -p "$work"
sh "$here/../../cmake/lay_out_installation.sh" "$build" "$work/install" "$@"
bin=$work/install/bin
