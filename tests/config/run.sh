#!/bin/sh
# Configures the project with a few bad cache values and checks that each one
# stops configuring (or warns) with a message naming the variable and value,
# and that good layouts get the climb computed from their directories.
#
# Usage: run.sh CMAKE SOURCE WORK
set -u
cmake=$1 source=$2 work=$3
failures=0
rm -rf "$work"
mkdir -p "$work"

# configure NAME EXPECTED-STATUS TEXT [-DVAR=VALUE ...]: TEXT must appear in
# what configuring printed, with CMake's line breaks folded into blanks.
configure() {
    name=$1 expected=$2 text=$3
    shift 3
    "$cmake" -S "$source" -B "$work/$name" -G Ninja -DBUILD_TESTING=OFF "$@" \
        >"$work/$name.log" 2>&1
    status=$?
    folded=$(tr -s ' \n' '  ' <"$work/$name.log")
    if { [ "$expected" = 0 ] && [ "$status" != 0 ]; } ||
       { [ "$expected" != 0 ] && [ "$status" = 0 ]; }; then
        echo "config: $name: configuring exited with $status" >&2
        cat "$work/$name.log" >&2
        failures=$((failures + 1))
    fi
    case $folded in
    *"$text"*) ;;
    *)
        echo "config: $name: no '$text' in:" >&2
        cat "$work/$name.log" >&2
        failures=$((failures + 1))
        ;;
    esac
}

configure libexec-without-slash 1 \
    "MAVO_CONFIGURED_LIBEXEC_DIR is '/usr/libexec/mavo12/mavo': it must be an absolute directory that ends in '/'" \
    -DMAVO_CONFIGURED_LIBEXEC_DIR=/usr/libexec/mavo12/mavo
configure relative-bin 1 \
    "MAVO_CONFIGURED_BIN_DIR is 'usr/local/bin/': it must be an absolute directory that ends in '/'" \
    -DMAVO_CONFIGURED_BIN_DIR=usr/local/bin/
configure exec-without-slash 1 \
    "MAVO_CONFIGURED_EXEC_DIR is '/usr/local/lib/mavo12/mavo': it must be an absolute directory that ends in '/'" \
    -DMAVO_CONFIGURED_EXEC_DIR=/usr/local/lib/mavo12/mavo
configure empty-triplet 1 \
    "MAVO_TARGET_TRIPLET is '': it must be a non-empty file name without '/'" \
    -DMAVO_TARGET_TRIPLET=
configure climb-without-slash 1 \
    "MAVO_TOOL_DIR_CLIMB is '../../../../..': it must end in '/'" \
    -DMAVO_TOOL_DIR_CLIMB=../../../../..
configure climb-one-short 0 \
    "MAVO_TOOL_DIR_CLIMB '../../../../' leads from /usr/local/lib/mavo12/mavo/aarch64-portbld-freebsd14.4/12.4.1/ to /usr/local/lib/, not to the installation root /usr/local/ (the parent of MAVO_CONFIGURED_BIN_DIR): the programs will look for the tool in /usr/local/lib/aarch64-portbld-freebsd14.4/bin/" \
    -DMAVO_TOOL_DIR_CLIMB=../../../../
configure defaults 0 \
    "tool directory /usr/local/aarch64-portbld-freebsd14.4/bin/ (MAVO_TOOL_DIR_CLIMB ../../../../../)"
configure other-layout 0 \
    "tool directory /opt/tc/x86_64-linux/bin/ (MAVO_TOOL_DIR_CLIMB ../../../../)" \
    -DMAVO_CONFIGURED_BIN_DIR=/opt/tc/bin/ -DMAVO_CONFIGURED_EXEC_DIR=/opt/tc/lib/cc/ \
    -DMAVO_CONFIGURED_LIBEXEC_DIR=/opt/tc/libexec/cc/ -DMAVO_TARGET_TRIPLET=x86_64-linux
# A given climb that leads to the root is taken without a warning.
configure climb-given 0 \
    "tool directory /usr/local/aarch64-portbld-freebsd14.4/bin/ (MAVO_TOOL_DIR_CLIMB ../../../../../)" \
    -DMAVO_TOOL_DIR_CLIMB=../../../../../
if grep -q 'leads from' "$work/climb-given.log"; then
    echo "config: climb-given: a climb that leads to the root was warned about" >&2
    failures=$((failures + 1))
fi

[ "$failures" = 0 ] || exit 1
echo "config: every bad value was named, every good layout configured"
