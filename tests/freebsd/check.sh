#!/bin/sh
# The FreeBSD 14 / aarch64 programs, checked from the files alone (nothing
# built for FreeBSD runs here). Each program must be
#   - an ELF64 file for AArch64 with FreeBSD's OS/ABI, of type DYN with the
#     PIE flag: a position-independent executable, as FreeBSD 14 builds its
#     own;
#   - started by FreeBSD's loader, /libexec/ld-elf.so.1;
#   - tagged with FreeBSD's ABI note for 14.x (NT_FREEBSD_ABI_TAG, a
#     __FreeBSD_version from 1400000 to 1499999);
#   - in need of libc.so.7 and nothing else;
#   - importing only symbols bound to a FreeBSD 14 version node of libc,
#     FBSD_1.0 to FBSD_1.7 (a later node is a newer FreeBSD's);
#   - free of the C++ runtime (tests/no_cxx_runtime.sh).
# And the programs together import exactly the reviewed list IMPORTS
# (tests/freebsd/imports.txt): a symbol not on it fails, so that a new libc
# call is added on purpose, and so does a listed one no program imports any
# more, so that the list stays what the programs need.
#
# Usage: sh check.sh NM READELF IMPORTS PROGRAM...
#   NM, READELF  LLVM's llvm-nm and llvm-readelf (or any that read aarch64
#                ELF files and print symbol versions)
# Exit status 0 when every check holds; 1 naming each program and what it
# breaks ("PROGRAM: imports NAME@VERSION, ..."); 2 on bad usage or a file
# that cannot be read.
set -uf

if [ "$#" -lt 4 ]; then
    echo "usage: sh check.sh NM READELF IMPORTS PROGRAM..." >&2
    exit 2
fi
nm_command=$1
readelf_command=$2
imports_list=$3
shift 3
here=$(cd "$(dirname "$0")" && pwd)

if [ ! -r "$imports_list" ]; then
    echo "freebsd check: cannot read the list of imports $imports_list" >&2
    exit 2
fi

failed=0
fail() {
    echo "$1"
    failed=1
}
work=$(mktemp -d) || exit 2
trap 'rm -rf "$work"' EXIT
: > "$work/all-imports"
# The list: one NAME@VERSION a line; '#' starts a comment line.
grep -v '^#' "$imports_list" | sed '/^[[:space:]]*$/d' > "$work/listed"

# field NAME: the value of "NAME:" in llvm-readelf's file header.
field() { sed -n "s|^ *$1: *||p" "$work/elf" | head -n 1; }

for program in "$@"; do
    if ! "$readelf_command" -hlndW "$program" > "$work/elf" 2>"$work/error" ||
       ! "$nm_command" -D --undefined-only "$program" > "$work/imports" 2>>"$work/error"; then
        echo "freebsd check: cannot read $program with $readelf_command and $nm_command:" >&2
        cat "$work/error" >&2
        exit 2
    fi

    class=$(field Class)
    machine=$(field Machine)
    os_abi=$(field OS/ABI)
    type=$(field Type)
    [ "$class" = ELF64 ] || fail "$program: class is '$class', not ELF64"
    [ "$machine" = AArch64 ] || fail "$program: machine is '$machine', not AArch64"
    [ "$os_abi" = "UNIX - FreeBSD" ] || fail "$program: OS/ABI is '$os_abi', not FreeBSD's"
    case $type in
        DYN*) ;;
        *) fail "$program: type is '$type', not DYN: not a position-independent executable" ;;
    esac
    grep -Eq '\(FLAGS_1\).*PIE' "$work/elf" ||
        fail "$program: no PIE flag in its dynamic section (FLAGS_1)"

    interpreter=$(sed -n 's/.*Requesting program interpreter: \(.*\)\]$/\1/p' "$work/elf")
    [ "$interpreter" = /libexec/ld-elf.so.1 ] ||
        fail "$program: interpreter is '$interpreter', not /libexec/ld-elf.so.1"

    # llvm-readelf prints the note as "ABI tag: <__FreeBSD_version>" below
    # an owner line "FreeBSD ... NT_FREEBSD_ABI_TAG".
    abi_tag=$(awk '/^ *FreeBSD .*NT_FREEBSD_ABI_TAG/ { note = 1; next }
                   note && /ABI tag:/ { print $NF; exit }' "$work/elf")
    case $abi_tag in
        14[0-9][0-9][0-9][0-9][0-9]) ;;
        '') fail "$program: no FreeBSD ABI note (NT_FREEBSD_ABI_TAG)" ;;
        *) fail "$program: FreeBSD ABI note says $abi_tag, not 14.x (1400000 to 1499999)" ;;
    esac

    needed=$(sed -n 's/.*(NEEDED).*\[\(.*\)\].*/\1/p' "$work/elf")
    [ "$needed" = libc.so.7 ] ||
        fail "$program: needs '$(echo $needed)', not libc.so.7 alone"

    # llvm-nm -D: "U name@version" (or w, v for weak references).
    awk '{ print $NF }' "$work/imports" > "$work/names"
    while read -r import; do
        case $import in
            *@FBSD_1.[0-7]) ;;
            *@*) fail "$program: imports $import, not from a FreeBSD 14 version node (FBSD_1.0 to FBSD_1.7)" ;;
            *) fail "$program: imports $import without a symbol version" ;;
        esac
        grep -qxF "$import" "$work/listed" ||
            fail "$program: imports $import, which is not on $imports_list"
    done < "$work/names"
    cat "$work/names" >> "$work/all-imports"
done

sort -u "$work/all-imports" > "$work/all-sorted"
while read -r listed; do
    grep -qxF "$listed" "$work/all-sorted" ||
        fail "$imports_list: lists $listed, which no program imports: take it off"
done < "$work/listed"

sh "$here/../no_cxx_runtime.sh" "$nm_command" "$readelf_command" "$@" || failed=1

if [ "$failed" = 0 ]; then
    echo "freebsd check: $# programs, each an ELF64 AArch64 FreeBSD PIE (type DYN) for /libexec/ld-elf.so.1" \
         "with the ABI note of FreeBSD 14.x, needing libc.so.7 alone;" \
         "$(wc -l < "$work/all-sorted" | tr -d ' ') imports, each at FBSD_1.0 to FBSD_1.7 and on $imports_list," \
         "which lists nothing else"
fi
exit "$failed"
