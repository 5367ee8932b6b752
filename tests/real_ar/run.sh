#!/bin/sh
# mavo-ar with the real ar on LTO objects, where ar's own reading of the
# arguments matters: a response file as the first argument (which ar reads
# only as "@file", never as "-@file") and one among the members. Where
# /usr/lib/bfd-plugins can be hidden, the plain ar first shows that it writes
# no index for these objects without the plug-in, so the index checked below
# is the plug-in's work.
#
# Usage: run.sh BUILD WORK CLANG then the arguments of
#        cmake/lay_out_installation.sh after its first two
set -eu
here=$(cd "$(dirname "$0")" && pwd)
test_name=real_ar
. "$here/../installed_test.sh"
ar=$bin/mavo-ar
nm=$bin/mavo-nm

cd "$work"
for name in one two three; do
    printf 'int %s(void) { return 1; }\n' "$name" >"$name.c"
    "$clang" -flto -c "$name.c" -o "$name.o"
done
plain_tools_fail one.o two.o

printf 'rcs lib.a one.o two.o\n' >cmds
"$ar" @cmds || fail "mavo-ar @cmds exited with $?"
[ "$("$ar" t lib.a)" = "one.o
two.o" ] || fail "mavo-ar @cmds did not archive one.o and two.o"
"$nm" -s lib.a | grep -q '^two in two\.o$' || fail "the archive made through @cmds has no index"

printf 'three.o\n' >members
"$ar" q more.a one.o @members || fail "mavo-ar q more.a one.o @members exited with $?"
[ "$("$ar" t more.a)" = "one.o
three.o" ] || fail "mavo-ar q more.a one.o @members did not read the members' file"
echo "real_ar: response files reach ar as it reads them"
