# Sourced first thing, its arguments untouched, by a script that runs the
# installed programs on LTO objects (demo/run.sh, tests/installed_test.sh).
#
# GNU binutils load by themselves every plug-in in <their bindir>/../lib/
# bfd-plugins, their bindir found through symbolic links: /usr/lib/bfd-plugins
# for /usr/bin/ar, nm and ranlib, however they are reached. Debian's LLVM and
# GCC packages link their LTO plug-ins into it, so there plain ar and nm read
# LTO objects without --plugin, and a script that only sees the programs
# succeed would succeed as well if they dropped it. (The other directory
# binutils read, bfd-plugins in their library directory, holds no LTO plug-in
# on Debian and stays.) So this runs the calling script again in a private
# mount namespace where an empty, read-only file system lies over
# /usr/lib/bfd-plugins: the mount is seen by no other process and ends with
# the script. That needs root and unshare(1).
#
# Expects `test_name`, which begins the line below. Sets `bfd_plugins` and
# `bfd_plugins_hidden`: yes inside the namespace; otherwise no, after one line
# saying why.
bfd_plugins=/usr/lib/bfd-plugins
if [ "${MAVO_BFD_PLUGINS_HIDDEN-}" = yes ]; then
    bfd_plugins_hidden=yes
else
    bfd_plugins_hidden=no
    bfd_plugins_why=
    if [ ! -d "$bfd_plugins" ]; then
        echo "$test_name: no $bfd_plugins here, so the plain tools load no plug-in from there; nothing to hide"
    elif [ "$(id -u)" != 0 ]; then
        bfd_plugins_why="not root"
    elif ! command -v unshare >/dev/null 2>&1; then
        bfd_plugins_why="unshare not found"
    # A trial run first: once the script is replaced, a refusal could not
    # be told from the script's own failure.
    elif ! bfd_plugins_why=$(unshare -m --propagation private \
            mount -t tmpfs -o ro,mode=755 mavo-empty "$bfd_plugins" 2>&1); then
        bfd_plugins_why=$(printf '%s\n' "$bfd_plugins_why" | sed -n 1p)
        bfd_plugins_why="unshare or mount refused: ${bfd_plugins_why:-no message}"
    else
        exec unshare -m --propagation private sh -c '
            mount -t tmpfs -o ro,mode=755 mavo-empty "$0" || exit
            MAVO_BFD_PLUGINS_HIDDEN=yes
            export MAVO_BFD_PLUGINS_HIDDEN
            exec "$@"' "$bfd_plugins" sh "$0" "$@"
    fi
    if [ -n "$bfd_plugins_why" ]; then
        echo "$test_name: $bfd_plugins not hidden ($bfd_plugins_why): plain ar and nm may read LTO objects through it, so this run cannot show that --plugin is needed"
    fi
fi
