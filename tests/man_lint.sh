#!/bin/sh
# Lints a manual page with whichever of mandoc and groff is installed; any
# output at all fails the page. Status 77, which ctest counts as skipped,
# when neither is installed.
#
# Usage: man_lint.sh PAGE
set -u
if [ $# -ne 1 ]; then
    echo "usage: man_lint.sh PAGE" >&2
    exit 2
fi
page=$1
if [ ! -r "$page" ]; then
    echo "man_lint: cannot read $page" >&2
    exit 1
fi

checked=no
failed=no
# Runs one linter; its output, whatever the status, is a failure.
lint() {
    checked=yes
    output=$("$@" 2>&1)
    status=$?
    if [ -n "$output" ] || [ "$status" -ne 0 ]; then
        printf '%s (status %s):\n%s\n' "$*" "$status" "$output" >&2
        failed=yes
    fi
}

if command -v mandoc >/dev/null 2>&1; then
    lint mandoc -Tlint -W all "$page"
fi
if command -v groff >/dev/null 2>&1; then
    lint groff -man -ww -z "$page"
fi

if [ "$checked" = no ]; then
    echo "man_lint: neither mandoc nor groff is installed" >&2
    exit 77
fi
[ "$failed" = no ]
