#!/bin/sh
# Lints a manual page with whichever of mandoc and groff is installed: any
# message fails. Exits 77 (skipped) when neither is.
#
# Usage: man_lint.sh PAGE
set -u
page=$1
ran=0 failed=0
if command -v mandoc >/dev/null 2>&1; then
    ran=1
    out=$(mandoc -Tlint -Wall "$page" 2>&1)
    [ -z "$out" ] || { printf 'mandoc -Tlint:\n%s\n' "$out" >&2; failed=1; }
fi
if command -v groff >/dev/null 2>&1; then
    ran=1
    out=$(groff -man -ww -z "$page" 2>&1)
    [ -z "$out" ] || { printf 'groff -man -ww -z:\n%s\n' "$out" >&2; failed=1; }
fi
if [ "$ran" = 0 ]; then
    echo "man_lint: neither mandoc nor groff is installed" >&2
    exit 77
fi
exit "$failed"
