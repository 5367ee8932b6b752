#!/bin/sh
# Configures the project with bad cache values and checks that each one stops
# configuring (or warns) with a message naming the variable and value, and
# that good layouts configure without a word, the climb computed from their
# directories and the directories not given from the prefix; for some, that
# the programs are compiled with those directories and the manual page names
# them.
#
# Usage: run.sh CMAKE SOURCE WORK GENERATOR [MAKE_PROGRAM]
# GENERATOR and MAKE_PROGRAM are those of the build that runs the test, so
# that it needs no tool that build did not.
set -u
cmake=$1 source=$2 work=$3 generator=$4 make_program=${5:-}
failures=0
rm -rf "$work"
mkdir -p "$work"

# check KIND NAME TEXT [-DVAR=VALUE ...] configures in the background, a few
# at a time, and judge_all then judges each in the order of the checks, with
# CMake's line breaks folded into blanks in what configuring printed:
#   refused   configuring fails, and TEXT is the whole of its error message;
#   warned    configuring succeeds, and TEXT is the whole of a warning;
#   accepted  configuring succeeds without a warning, and prints TEXT.
names=
running=0
check() {
    kind=$1 name=$2
    printf '%s\n' "$kind" >"$work/$name.kind"
    printf '%s\n' "$3" >"$work/$name.text"
    shift 3
    names="$names $name"
    (
        "$cmake" -S "$source" -B "$work/$name" -G "$generator" \
            ${make_program:+"-DCMAKE_MAKE_PROGRAM=$make_program"} -DBUILD_TESTING=OFF "$@" \
            >"$work/$name.log" 2>&1
        echo $? >"$work/$name.status"
    ) &
    running=$((running + 1))
    if [ "$running" -ge 4 ]; then
        wait
        running=0
    fi
}

fail() {
    printf "config: %s: %s\n" "$name" "$1" >&2
    cat "$work/$name.log" >&2
    failures=$((failures + 1))
}

judge_all() {
    wait
    for name in $names; do
        kind=$(cat "$work/$name.kind")
        text=$(cat "$work/$name.text")
        status=$(cat "$work/$name.status")
        folded=$(tr -s ' \n' '  ' <"$work/$name.log")
        matched=false
        case $kind in
        refused)
            [ "$status" != 0 ] || fail "configuring succeeded"
            case $folded in *"CMake Error at "*"(message): $text Call Stack"*) matched=true ;; esac
            ;;
        warned)
            [ "$status" = 0 ] || fail "configuring exited with $status"
            case $folded in *"CMake Warning at "*"(message): $text Call Stack"*) matched=true ;; esac
            ;;
        accepted)
            [ "$status" = 0 ] || fail "configuring exited with $status"
            case $folded in *"$text"*) matched=true ;; esac
            if grep -q 'CMake Warning' "$work/$name.log"; then
                fail "a good layout was warned about"
            fi
            ;;
        esac
        [ "$matched" = true ] || fail "no $kind message '$text' in:"
    done
}

# configured_for NAME BIN EXEC LIBEXEC [ABSENT]: the build NAME, configured
# by an accepted check, compiles the programs with these three directories,
# and its manual page names them; neither holds ABSENT.
configured_for() {
    name=$1 bin=$2 exec=$3 libexec=$4 absent=${5:-}
    [ "$(cat "$work/$name.status")" = 0 ] || return 0   # judged above
    # The programs' definitions as the build compiles them, quotes dropped.
    defs=$(grep '"command".*driver\.cc' "$work/$name/compile_commands.json" |
        grep -o -- '-D[A-Z_]*=[^ ]*' | sed 's/[\\"]//g' | LC_ALL=C sort -u)
    got=$(printf '%s\n' "$defs" | grep '^-DCONFIGURED_')
    expected="-DCONFIGURED_BIN_DIR=$bin
-DCONFIGURED_EXEC_DIR=$exec
-DCONFIGURED_LIBEXEC_DIR=$libexec"
    [ "$got" = "$expected" ] || fail "the programs are compiled with
$got
instead of
$expected
configuring printed:"
    man=$work/$name/man/mavo-ar.1
    for dir in "${bin}mavo" "$exec" "$libexec"; do
        grep -qF "$dir" "$man" || fail "the manual page does not name $dir"
    done
    if [ -n "$absent" ]; then
        ! printf '%s\n' "$defs" | grep -F "$absent" || fail "the programs' configuration names $absent"
        ! grep -nF "$absent" "$man" || fail "the manual page names $absent"
    fi
}

dir_form="it must be an absolute directory that ends in '/'"
dir_chars="it must not hold '\"', '\\' or ';'"
dir_normal="it must be in normal form, without '//' or a '.' or '..' component"
file_name="it must be a non-empty file name without '/', '\"', '\\' or ';', and not '.' or '..'"
climb_form="it must be a run of '../' followed by plain directory names, each ending in '/', with no '//' (or be empty, to have it computed)"
climb_chars="it must end in '/' and hold no '\"', '\\' or ';' (or be empty, to have it computed)"

check refused libexec-without-slash \
    "MAVO_CONFIGURED_LIBEXEC_DIR is '/usr/libexec/mavo12/mavo': $dir_form" \
    -DMAVO_CONFIGURED_LIBEXEC_DIR=/usr/libexec/mavo12/mavo
check refused relative-bin \
    "MAVO_CONFIGURED_BIN_DIR is 'usr/local/bin/': $dir_form" \
    -DMAVO_CONFIGURED_BIN_DIR=usr/local/bin/
check refused exec-without-slash \
    "MAVO_CONFIGURED_EXEC_DIR is '/usr/local/lib/mavo12/mavo': $dir_form" \
    -DMAVO_CONFIGURED_EXEC_DIR=/usr/local/lib/mavo12/mavo
# The programs compare these texts with their resolved location: a text that
# is not in normal form could never match.
check refused bin-doubled-slash \
    "MAVO_CONFIGURED_BIN_DIR is '/usr/local/bin//': $dir_normal" \
    -DMAVO_CONFIGURED_BIN_DIR=/usr/local/bin//
check refused bin-dot-dot \
    "MAVO_CONFIGURED_BIN_DIR is '/usr/local/bin/../': $dir_normal" \
    -DMAVO_CONFIGURED_BIN_DIR=/usr/local/bin/../
check refused bin-dot \
    "MAVO_CONFIGURED_BIN_DIR is '/usr/local/./bin/': $dir_normal" \
    -DMAVO_CONFIGURED_BIN_DIR=/usr/local/./bin/
check refused exec-doubled-slash \
    "MAVO_CONFIGURED_EXEC_DIR is '/usr/local//lib/mavo12/mavo/': $dir_normal" \
    -DMAVO_CONFIGURED_EXEC_DIR=/usr/local//lib/mavo12/mavo/
check refused libexec-leading-doubled-slash \
    "MAVO_CONFIGURED_LIBEXEC_DIR is '//usr/local/libexec/mavo12/mavo/': $dir_normal" \
    -DMAVO_CONFIGURED_LIBEXEC_DIR=//usr/local/libexec/mavo12/mavo/
check refused libexec-dot-dot \
    "MAVO_CONFIGURED_LIBEXEC_DIR is '/usr/local/lib/../libexec/mavo12/mavo/': $dir_normal" \
    -DMAVO_CONFIGURED_LIBEXEC_DIR=/usr/local/lib/../libexec/mavo12/mavo/
# The values are compiled into the programs as C string literals.
check refused bin-quote \
    "MAVO_CONFIGURED_BIN_DIR is '/usr/lo\"cal/bin/': $dir_chars" \
    '-DMAVO_CONFIGURED_BIN_DIR=/usr/lo"cal/bin/'
check refused libexec-backslash \
    "MAVO_CONFIGURED_LIBEXEC_DIR is '/usr/local/libexec\\mavo12/mavo/': $dir_chars" \
    '-DMAVO_CONFIGURED_LIBEXEC_DIR=/usr/local/libexec\mavo12/mavo/'
# CMake cuts a value at a ';': the build broke later, far from the value.
check refused bin-semicolon \
    "MAVO_CONFIGURED_BIN_DIR is '/opt/a;b/bin/': $dir_chars" \
    '-DMAVO_CONFIGURED_BIN_DIR=/opt/a;b/bin/'
check refused triplet-semicolon \
    "MAVO_TARGET_TRIPLET is 'aarch64;freebsd': $file_name" \
    '-DMAVO_TARGET_TRIPLET=aarch64;freebsd'
# The directories not given follow the prefix, which is checked as they are.
# Given as a STRING: CMake makes an untyped one absolute and folds its '//'.
check refused prefix-relative \
    "CMAKE_INSTALL_PREFIX is 'usr/local': it must be an absolute directory" \
    -DCMAKE_INSTALL_PREFIX:STRING=usr/local
check refused prefix-semicolon \
    "CMAKE_INSTALL_PREFIX is '/opt/a;b': $dir_chars" \
    '-DCMAKE_INSTALL_PREFIX:STRING=/opt/a;b'
check refused prefix-dot \
    "CMAKE_INSTALL_PREFIX is '/opt/./tc': $dir_normal" \
    -DCMAKE_INSTALL_PREFIX:STRING=/opt/./tc
check refused empty-triplet \
    "MAVO_TARGET_TRIPLET is '': $file_name" \
    -DMAVO_TARGET_TRIPLET=
check refused triplet-quote \
    "MAVO_TARGET_TRIPLET is 'aarch64\"freebsd': $file_name" \
    '-DMAVO_TARGET_TRIPLET=aarch64"freebsd'
check refused version-backslash \
    "MAVO_COMPILER_VERSION is '12\\4': $file_name" \
    '-DMAVO_COMPILER_VERSION=12\4'
check refused version-dot \
    "MAVO_COMPILER_VERSION is '.': $file_name" \
    -DMAVO_COMPILER_VERSION=.
check refused plugin-dot-dot \
    "MAVO_PLUGIN_FILE_NAME is '..': $file_name" \
    -DMAVO_PLUGIN_FILE_NAME=..
check refused climb-without-slash \
    "MAVO_TOOL_DIR_CLIMB is '../../../../..': $climb_chars" \
    -DMAVO_TOOL_DIR_CLIMB=../../../../..
check refused climb-quote \
    "MAVO_TOOL_DIR_CLIMB is '../../../../../\"/': $climb_chars" \
    '-DMAVO_TOOL_DIR_CLIMB=../../../../../"/'
# Each of these reads as the root once normalised, but the programs join the
# climb as it stands and the system walks it step by step.
check refused climb-detour \
    "MAVO_TOOL_DIR_CLIMB is '../x/../../../../../': $climb_form" \
    -DMAVO_TOOL_DIR_CLIMB=../x/../../../../../
check refused climb-dot \
    "MAVO_TOOL_DIR_CLIMB is './../../../../../': $climb_form" \
    -DMAVO_TOOL_DIR_CLIMB=./../../../../../
check refused climb-doubled-slash \
    "MAVO_TOOL_DIR_CLIMB is '../..//../../../': $climb_form" \
    -DMAVO_TOOL_DIR_CLIMB=../..//../../../
check refused climb-absolute \
    "MAVO_TOOL_DIR_CLIMB is '/usr/local/': $climb_form" \
    -DMAVO_TOOL_DIR_CLIMB=/usr/local/
check warned climb-one-short \
    "MAVO_TOOL_DIR_CLIMB '../../../../' leads from /usr/local/lib/mavo12/mavo/aarch64-portbld-freebsd14.4/12.4.1/ to /usr/local/lib/, not to the installation root /usr/local/ (the parent of MAVO_CONFIGURED_BIN_DIR): the programs will look for the tool in /usr/local/lib/aarch64-portbld-freebsd14.4/bin/" \
    -DMAVO_TOOL_DIR_CLIMB=../../../../
check accepted defaults \
    "tool directory /usr/local/aarch64-portbld-freebsd14.4/bin/ (MAVO_TOOL_DIR_CLIMB ../../../../../)"
# A distribution's prefix reaches the programs and the manual page; a
# directory given stays as given, the others follow the prefix.
check accepted prefix-usr \
    "MAVO_CONFIGURED_BIN_DIR /usr/bin/ (from CMAKE_INSTALL_PREFIX) MAVO_CONFIGURED_EXEC_DIR /usr/lib/mavo12/mavo/ (from CMAKE_INSTALL_PREFIX) MAVO_CONFIGURED_LIBEXEC_DIR /usr/libexec/mavo12/mavo/ (from CMAKE_INSTALL_PREFIX)" \
    -DCMAKE_INSTALL_PREFIX=/usr
check accepted prefix-and-given \
    "MAVO_CONFIGURED_BIN_DIR /opt/tc/bin/ (from CMAKE_INSTALL_PREFIX) MAVO_CONFIGURED_EXEC_DIR /opt/tc/lib/mavo12/mavo/ (from CMAKE_INSTALL_PREFIX) MAVO_CONFIGURED_LIBEXEC_DIR /opt/tc/libexec/cc/ (given)" \
    -DCMAKE_INSTALL_PREFIX=/opt/tc/ -DMAVO_CONFIGURED_LIBEXEC_DIR=/opt/tc/libexec/cc/
check accepted other-layout \
    "tool directory /opt/tc/x86_64-linux/bin/ (MAVO_TOOL_DIR_CLIMB ../../../../)" \
    -DMAVO_CONFIGURED_BIN_DIR=/opt/tc/bin/ -DMAVO_CONFIGURED_EXEC_DIR=/opt/tc/lib/cc/ \
    -DMAVO_CONFIGURED_LIBEXEC_DIR=/opt/tc/libexec/cc/ -DMAVO_TARGET_TRIPLET=x86_64-linux
# A given climb that leads to the root is taken without a warning, also one
# that descends to it, as the computed one does where the library directory
# lies outside the installation root.
check accepted climb-given \
    "tool directory /usr/local/aarch64-portbld-freebsd14.4/bin/ (MAVO_TOOL_DIR_CLIMB ../../../../../)" \
    -DMAVO_TOOL_DIR_CLIMB=../../../../../
check accepted climb-descends \
    "tool directory /opt/tc/aarch64-portbld-freebsd14.4/bin/ (MAVO_TOOL_DIR_CLIMB ../../../tc/)" \
    -DMAVO_CONFIGURED_BIN_DIR=/opt/tc/bin/ -DMAVO_CONFIGURED_EXEC_DIR=/opt/lib/ \
    -DMAVO_CONFIGURED_LIBEXEC_DIR=/opt/libexec/ -DMAVO_TOOL_DIR_CLIMB=../../../tc/

judge_all
configured_for defaults /usr/local/bin/ /usr/local/lib/mavo12/mavo/ /usr/local/libexec/mavo12/mavo/
configured_for prefix-usr /usr/bin/ /usr/lib/mavo12/mavo/ /usr/libexec/mavo12/mavo/ /usr/local
configured_for prefix-and-given /opt/tc/bin/ /opt/tc/lib/mavo12/mavo/ /opt/tc/libexec/cc/ /usr/local
[ "$failures" = 0 ] || exit 1
echo "config: every bad value was named, every good layout configured"
