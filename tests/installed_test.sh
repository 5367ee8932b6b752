# Sourced by the tests that run the installed programs (tests/*/run.sh):
# takes the arguments BUILD WORK CLANG, then those of
# cmake/lay_out_installation.sh after its first two; installs the build into
# WORK/install, made afresh and completed as a compiler installation.
# Expects `test_name` and `here` (the test's own directory); sets `build`,
# `work`, `clang`, `bin` (the installed programs), `bfd_plugins_hidden`, and
# the functions `fail` and `plain_tools_fail`.
#
# The test runs where /usr/lib/bfd-plugins is hidden when it can be (see
# cmake/without_bfd_plugins.sh), so that the system's tools read LTO objects
# only through the plug-in the programs pass.
. "$here/../../cmake/without_bfd_plugins.sh"
build=$1 work=$2 clang=$3
shift 3
plain_ar=$2 plain_nm=$3

fail() {
    echo "$test_name: $*" >&2
    exit 1
}

# Where the plug-in directory is hidden, the system's ar and nm, given the
# LTO objects named and no --plugin, must fail: ar archives them without an
# index, nm does not recognise them. Otherwise a passing test would not show
# that the programs' --plugin is needed.
plain_tools_fail() {
    [ "$bfd_plugins_hidden" = yes ] || return 0
    rm -f "$work/plain.a"
    "$plain_ar" rcs "$work/plain.a" "$@" || fail "plain ar rcs exited with $?"
    if "$plain_nm" -s "$work/plain.a" 2>/dev/null | grep -q '^Archive index:'; then
        fail "plain ar indexed LTO objects with $bfd_plugins hidden: it loads a plug-in from elsewhere"
    fi
    status=0
    "$plain_nm" "$1" >/dev/null 2>"$work/plain-nm.err" || status=$?
    case $status:$(cat "$work/plain-nm.err") in
    "1:$plain_nm: $1: file format not recognized") ;;
    *) cat "$work/plain-nm.err" >&2
       fail "plain nm $1 exited with $status, not 1 with 'file format not recognized'" ;;
    esac
    echo "$test_name: with $bfd_plugins hidden, plain ar rcs wrote no index and plain nm did not recognise $1"
}

rm -rf "$work"
mkdir -p "$work"
sh "$here/../../cmake/lay_out_installation.sh" "$build" "$work/install" "$@"
bin=$work/install/bin
