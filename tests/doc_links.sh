#!/bin/sh
# Every link between the documents resolves: each link in README.md and
# docs/*.md that is not a web address names a file of the source tree,
# relative to the document, and its #fragment, if any, a heading of that
# file as GitHub makes anchors of headings (lower case, punctuation dropped,
# blanks made '-'). Links inside code are not links and are left alone.
#
# Usage: doc_links.sh SOURCE
set -u
cd "$1" || exit 1
awk '
function fail(message) {
    print "doc links: " FILENAME ": " message > "/dev/stderr"
    failures++
}
function slug(heading) {
    heading = tolower(heading)
    gsub(/[^a-z0-9 _-]/, "", heading)
    gsub(/ /, "-", heading)
    return heading
}
# The anchors of `file`, once: its headings outside code blocks.
function anchors_of(file,    line, fenced) {
    if (file in read)
        return
    read[file] = 1
    fenced = 0
    while ((getline line < file) > 0) {
        if (line ~ /^```/)
            fenced = !fenced
        else if (!fenced && line ~ /^#+ /) {
            sub(/^#+ /, "", line)
            anchor[file, slug(line)] = 1
        }
    }
    close(file)
}
function exists(file,    line, status) {
    status = (getline line < file)
    close(file)
    return status >= 0
}
function check(link,    target, fragment, dir) {
    if (link ~ /^[a-z]+:/)
        return
    fragment = ""
    if (index(link, "#")) {
        fragment = substr(link, index(link, "#") + 1)
        link = substr(link, 1, index(link, "#") - 1)
    }
    dir = FILENAME
    sub(/[^\/]*$/, "", dir)
    target = link == "" ? FILENAME : dir link
    if (!exists(target)) {
        fail("links to " link ", which is no file")
        return
    }
    if (fragment != "") {
        anchors_of(target)
        if (!((target, fragment) in anchor))
            fail("links to " link "#" fragment ", which is no heading of " target)
    }
    links++
}
FNR == 1 { fenced = 0 }
/^```/ { fenced = !fenced; next }
fenced { next }
{
    line = $0
    gsub(/`[^`]*`/, "", line)
    while (match(line, /\]\([^)]*\)/)) {
        check(substr(line, RSTART + 2, RLENGTH - 3))
        line = substr(line, RSTART + RLENGTH)
    }
}
END {
    if (failures)
        exit 1
    print "doc links: all " links " links resolve"
}' README.md docs/*.md
