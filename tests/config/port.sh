#!/bin/sh
# The FreeBSD port's packing list against what the build installs: the port's
# cache values, read from dist/freebsd/Makefile itself, configure a build
# that is installed into a staging area as the ports tree stages it; the
# manual pages are then compressed and PORTDOCS installed, as the ports tree
# does with DOCS on, and the staged files must be exactly those that
# pkg-plist and PORTDOCS list. Only the Makefile's plain assignments are
# read; no ports tree is involved.
#
# Usage: port.sh CMAKE SOURCE WORK GENERATOR [MAKE_PROGRAM]
# GENERATOR and MAKE_PROGRAM are those of the build that runs the test, so
# that it needs no tool that build did not.
set -eu
cmake=$1 source=$2 work=$3 generator=$4 make_program=${5:-}
port=$source/dist/freebsd
fail() {
    echo "port: $*" >&2
    exit 1
}
if ! command -v gzip >/dev/null 2>&1; then
    echo "port: skipped: no gzip, which the ports tree compresses manual pages with"
    exit 77
fi
rm -rf "$work"
mkdir -p "$work"
build=$work/build stage=$work/stage

# What the ports tree defines for a build on FreeBSD 14.4 on 64-bit Arm with
# the default PREFIX; the port's own variables come from its Makefile.
prefix=/usr/local
framework="PREFIX=$prefix
CONFIGURE_TARGET=aarch64-portbld-freebsd14.4
DOCSDIR=\${PREFIX}/share/doc/\${PORTNAME}
WRKSRC=$source"

# make_value NAME: the Makefile's value of NAME with every ${VAR} expanded,
# as make would; empty when NAME is not set. A variable that neither the
# Makefile nor the list above defines, or a modifier, stops the test rather
# than be guessed at.
make_value() {
    awk -v want="$1" -v framework="$framework" '
    function expand(text, depth,    out, name, before, after) {
        if (depth > 20)
            fatal("the expansion of " want " does not end")
        out = ""
        while (match(text, /\$\{[^}]*\}/)) {
            name = substr(text, RSTART + 2, RLENGTH - 3)
            if (!(name in value))
                fatal("${" name "} in " want " is neither the Makefile'"'"'s nor known to this test")
            # Taken before the value is expanded in turn, which matches anew.
            before = substr(text, 1, RSTART - 1)
            after = substr(text, RSTART + RLENGTH)
            out = out before expand(value[name], depth + 1)
            text = after
        }
        if (text ~ /\$/)
            fatal("a $ in " want " that is not ${NAME}: " text)
        return out text
    }
    function fatal(message) {
        print "port: " message > "/dev/stderr"
        failed = 1
        exit 2
    }
    function assign(line,    name, op, text) {
        if (!match(line, /^[A-Za-z_][A-Za-z0-9_]*[ \t]*[+?]?=/))
            return
        name = substr(line, 1, RLENGTH)
        text = substr(line, RLENGTH + 1)
        op = name
        sub(/[ \t]*[+?]?=$/, "", name)
        sub(/^[A-Za-z0-9_]*[ \t]*/, "", op)
        sub(/#.*/, "", text)
        gsub(/^[ \t]+|[ \t]+$/, "", text)
        if (op == "+=" && name in value)
            value[name] = value[name] " " text
        else if (op != "?=" || !(name in value))
            value[name] = text
    }
    BEGIN {
        n = split(framework, lines, "\n")
        for (i = 1; i <= n; i++)
            assign(lines[i])
    }
    {
        line = $0
        while (line ~ /\\$/ && (getline more) > 0) {
            sub(/\\$/, "", line)
            line = line " " more
        }
        assign(line)
    }
    END {
        if (!failed && want in value)
            print expand(value[want], 0)
    }' "$port/Makefile"
}

portname=$(make_value PORTNAME)
[ -n "$portname" ] || fail "the Makefile sets no PORTNAME"
cmake_args=$(make_value CMAKE_ARGS)
cmake_on=$(make_value CMAKE_ON)
cmake_off=$(make_value CMAKE_OFF)
# pkg-plist names DOCSDIR relative to PREFIX.
docsdir=$(make_value DOCSDIR)
docsdir_rel=${docsdir#"$prefix/"}
portdocs=$(make_value PORTDOCS)
license_file=$(make_value LICENSE_FILE)
[ -n "$license_file" ] && [ -f "$license_file" ] || fail "LICENSE_FILE '$license_file' is no file of the sources"

# The arguments as USES=cmake passes them: its own, then CMAKE_ARGS, then
# CMAKE_ON and CMAKE_OFF as booleans. The values hold no blanks, so the
# shell's word splitting cuts them as make does.
set -f
set -- -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_BUILD_TYPE=Release $cmake_args
for name in $cmake_on; do set -- "$@" "-D$name:BOOL=ON"; done
for name in $cmake_off; do set -- "$@" "-D$name:BOOL=OFF"; done
set +f
printf '%s\n' "$@" >"$work/cmake-args"

"$cmake" -S "$source" -B "$build" -G "$generator" \
    ${make_program:+"-DCMAKE_MAKE_PROGRAM=$make_program"} "$@" >"$work/configure.log" 2>&1 ||
    { cat "$work/configure.log" >&2; fail "configuring with the port's values failed"; }
# GoogleTest is only a TEST_DEPENDS: the port's own build makes no tests.
grep -q '^BUILD_TESTING:BOOL=OFF$' "$build/CMakeCache.txt" ||
    fail "the port's build makes the tests, which need GoogleTest, a TEST_DEPENDS only"
# The port fetches the release of its DISTVERSION: the version the sources
# give themselves.
distversion=$(make_value DISTVERSION)
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[ "$distversion" = "$version" ] ||
    fail "the Makefile's DISTVERSION is '$distversion', the sources' version '$version'"
"$cmake" --build "$build" >"$work/build.log" 2>&1 || { cat "$work/build.log" >&2; fail "building failed"; }
DESTDIR=$stage "$cmake" --install "$build" >"$work/install.log" 2>&1 ||
    { cat "$work/install.log" >&2; fail "installing failed"; }

# The ports tree compresses every manual page it stages.
if [ -d "$stage$prefix/share/man" ]; then
    find "$stage$prefix/share/man" -type f ! -name '*.gz' -exec gzip -n -9 {} +
fi
# With DOCS on, the port installs PORTDOCS from the sources into DOCSDIR.
set -f
for doc in $portdocs; do
    [ -f "$source/$doc" ] || fail "PORTDOCS names $doc, which the sources lack"
    mkdir -p "$stage$docsdir"
    cp "$source/$doc" "$stage$docsdir/"
done
set +f

# The staged files below PREFIX, as pkg-plist names them; anything staged
# outside PREFIX is named in full.
(cd "$stage" && find . \( -type f -o -type l \) -print) | sed 's|^\.||' |
    sed "s|^$prefix/||" | LC_ALL=C sort >"$work/staged"

# pkg-plist with the substitutions the ports tree makes when DOCS is on,
# and PORTDOCS, which the ports tree lists itself. A file in DOCSDIR that
# pkg-plist lists must be marked %%PORTDOCS%%: with DOCS off the marked lines
# are left out.
listed=$work/listed
: >"$listed"
set -f
for doc in $portdocs; do
    printf '%s\n' "$docsdir_rel/$doc" >>"$listed"
done
set +f
while IFS= read -r line || [ -n "$line" ]; do
    case $line in
    '' | '@comment '*) continue ;;
    @*) fail "pkg-plist: '$line' is a keyword this test does not know" ;;
    %%DOCSDIR%%*) fail "pkg-plist: '$line' lies in DOCSDIR without %%PORTDOCS%%" ;;
    esac
    line=$(printf '%s\n' "$line" | sed -e 's|%%PORTDOCS%%||g' -e "s|%%DOCSDIR%%|$docsdir_rel|g")
    case $line in
    *%%*) fail "pkg-plist: '$line' holds a substitution this test does not know" ;;
    esac
    printf '%s\n' "$line" >>"$listed"
done <"$port/pkg-plist"
LC_ALL=C sort -o "$listed" "$listed"

if ! cmp -s "$work/staged" "$listed"; then
    echo "port: pkg-plist and PORTDOCS do not list exactly the staged files (PREFIX=$prefix)" >&2
    echo "staged but not listed:" >&2
    LC_ALL=C comm -23 "$work/staged" "$listed" | sed 's/^/  /' >&2
    echo "listed but not staged:" >&2
    LC_ALL=C comm -13 "$work/staged" "$listed" | sed 's/^/  /' >&2
    exit 1
fi
# The port's layout reached the build: the manual page, made from the
# configuration, names the libexec directory below PREFIX with the triplet
# the ports tree gives.
libexec=$prefix/libexec/mavo12/mavo/$(make_value CONFIGURE_TARGET)/
gzip -dc "$stage$prefix/share/man/man1/mavo-ar.1.gz" | grep -qF "$libexec" ||
    fail "the manual page does not name the port's libexec directory $libexec"
echo "port: pkg-plist and PORTDOCS list exactly the $(wc -l <"$listed" | tr -d ' ') files staged"
