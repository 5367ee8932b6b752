#!/bin/sh
# A fully static build's programs: no program interpreter and no dynamic
# section, so they start without a loader and need no shared library.
#
# Usage: [READELF=readelf] static_check.sh PROGRAM...
# READELF: the readelf of the programs' binutils (the cross one for a cross
# build); plain readelf by default.
set -u
readelf=${READELF:-readelf}
failed=0
for program in "$@"; do
    if "$readelf" -lW "$program" | grep -q 'program interpreter'; then
        echo "static_check: $program asks for a program interpreter" >&2
        failed=1
    fi
    if ! "$readelf" -dW "$program" | grep -q 'no dynamic section'; then
        echo "static_check: $program has a dynamic section:" >&2
        "$readelf" -dW "$program" >&2
        failed=1
    fi
done
[ "$failed" = 0 ] && echo "static_check: $# programs, each fully static"
exit "$failed"
