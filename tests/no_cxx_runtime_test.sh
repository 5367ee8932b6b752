#!/bin/sh
# Shows that no_cxx_runtime.sh fails on a file that has some of the C++
# runtime: status 1, and a line of its report matching each PATTERN (an
# extended regular expression, such as ': symbol _Znw' or ': needs libstdc').
#
# Usage: no_cxx_runtime_test.sh CHECK NM READELF FILE PATTERN...
set -u
if [ "$#" -lt 5 ]; then
    echo "usage: no_cxx_runtime_test.sh CHECK NM READELF FILE PATTERN..." >&2
    exit 2
fi
check=$1 nm_command=$2 readelf_command=$3 file=$4
shift 4
report=$(sh "$check" "$nm_command" "$readelf_command" "$file" 2>&1)
status=$?
printf '%s\n' "$report"
failed=0
if [ "$status" -ne 1 ]; then
    echo "no_cxx_runtime_test: status $status on $file, not 1" >&2
    failed=1
fi
for pattern in "$@"; do
    if ! printf '%s\n' "$report" |
        awk -v file="$file" 'index($0, file) == 1 { print substr($0, length(file) + 1) }' |
        grep -Eq -- "^$pattern"; then
        echo "no_cxx_runtime_test: no line '$file$pattern' in the report" >&2
        failed=1
    fi
done
[ "$failed" = 0 ] && echo "no_cxx_runtime_test: $file failed the check as expected"
exit "$failed"
