#!/bin/sh
# Shows that the FreeBSD checks catch what they are for, each with a small
# program of its own built like the real ones (clang for FreeBSD 14 /
# aarch64, lld, PIE, no C++ library) against the same sysroot:
#   - a libc call that FreeBSD 14 does not have (execvpe) fails to link,
#     and the linker names it;
#   - a program that imports a libc symbol not on the list (getpid) fails
#     check.sh, which names it;
#   - a symbol bound to a version node after FreeBSD 14's (FBSD_1.8, from a
#     stand-in library) fails it, named, and so does the library it needs;
#   - a program that needs the C++ runtime (operator new from a stand-in
#     libc++) fails it, named;
#   - an executable that is not position-independent fails it;
#   - a list entry that no program imports fails it, named.
# The real programs pass with the list as it is (the first run).
#
# Usage: sh self_test.sh CXX SYSROOT NM READELF IMPORTS PROGRAM...
# Exit status 0 when every case comes out as it should, 1 otherwise.
set -uf

if [ "$#" -lt 6 ]; then
    echo "usage: sh self_test.sh CXX SYSROOT NM READELF IMPORTS PROGRAM..." >&2
    exit 2
fi
cxx=$1 sysroot=$2 nm_command=$3 readelf_command=$4 imports_list=$5
shift 5
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT

failed=0
say() { echo "freebsd self-test: $*"; }
# build OUTPUT SOURCE EXTRA-OPTIONS...: a FreeBSD 14 aarch64 program, linked
# as the toolchain file links ours.
build() {
    output=$1 source=$2
    shift 2
    "$cxx" --target=aarch64-unknown-freebsd14 --sysroot="$sysroot" -fuse-ld=lld -nostdlib++ \
        -nostdinc++ -fno-exceptions -fno-rtti -Wl,--as-needed -o "$output" "$source" "$@" \
        > "$work/build.log" 2>&1
}
# expect_failure CASE TEXT LIST PROGRAM...: check.sh must fail with TEXT
# among its lines.
expect_failure() {
    case_name=$1 text=$2 list=$3
    shift 3
    status=0
    sh "$here/check.sh" "$nm_command" "$readelf_command" "$list" "$@" > "$work/out" 2>&1 || status=$?
    if [ "$status" = 1 ] && grep -qF -- "$text" "$work/out"; then
        say "$case_name: rejected, as it should be: $(grep -F -- "$text" "$work/out" | head -n 1)"
    else
        say "$case_name: FAILED: expected status 1 and '$text', got status $status:"
        cat "$work/out"
        failed=1
    fi
}

# The real programs with the list as it stands.
if sh "$here/check.sh" "$nm_command" "$readelf_command" "$imports_list" "$@" > "$work/out" 2>&1; then
    say "the programs pass"
else
    say "FAILED: the programs themselves do not pass:"
    cat "$work/out"
    failed=1
fi

# 1. A call FreeBSD 14's libc lacks does not link against it.
cat > "$work/lacking.cc" <<'EOF'
extern "C" int execvpe(const char *file, char *const argv[], char *const envp[]);
int main(int, char **argv) { return execvpe(argv[0], argv, argv); }
EOF
if build "$work/lacking" "$work/lacking.cc" -fPIE -pie; then
    say "a call FreeBSD 14 lacks: FAILED: execvpe linked against $sysroot"
    failed=1
elif grep -q 'undefined symbol: execvpe' "$work/build.log"; then
    say "a call FreeBSD 14 lacks: rejected, as it should be: $(grep 'undefined symbol: execvpe' "$work/build.log" | head -n 1)"
else
    say "a call FreeBSD 14 lacks: FAILED: the link failed without naming execvpe:"
    cat "$work/build.log"
    failed=1
fi

# 2. An import that is not on the list.
cat > "$work/unlisted.cc" <<'EOF'
#include <unistd.h>
int main() { return getpid() == 0; }
EOF
if build "$work/unlisted" "$work/unlisted.cc" -fPIE -pie; then
    expect_failure "an import not on the list" "imports getpid@FBSD_1.0, which is not on" \
        "$imports_list" "$@" "$work/unlisted"
else
    say "an import not on the list: FAILED to build the example:"
    cat "$work/build.log"
    failed=1
fi

# 3. A symbol of a later FreeBSD's version node, from a stand-in library.
cat > "$work/future.cc" <<'EOF'
extern "C" int future_call(void) { return 0; }
EOF
printf 'FBSD_1.8 { global: future_call; local: *; };\n' > "$work/future.map"
cat > "$work/later.cc" <<'EOF'
extern "C" int future_call(void);
int main() { return future_call(); }
EOF
if build "$work/libfuture.so.1" "$work/future.cc" -fPIC -shared -Wl,-soname,libfuture.so.1 \
       -Wl,--version-script,"$work/future.map" &&
   build "$work/later" "$work/later.cc" -fPIE -pie -L"$work" -l:libfuture.so.1; then
    expect_failure "a later version node" \
        "imports future_call@FBSD_1.8, not from a FreeBSD 14 version node" "$imports_list" "$@" "$work/later"
    expect_failure "a library besides libc" "needs 'libfuture.so.1 libc.so.7', not libc.so.7 alone" \
        "$imports_list" "$@" "$work/later"
else
    say "a later version node: FAILED to build the example:"
    cat "$work/build.log"
    failed=1
fi

# 4. The C++ runtime, from a stand-in libc++ (the kit has none): operator new.
cat > "$work/runtime.cc" <<'EOF'
void *operator new(decltype(sizeof 0) size) { return reinterpret_cast<void *>(size); }
EOF
cat > "$work/cxx.cc" <<'EOF'
struct Record { int field; };
int main() { return new Record{0} == nullptr; }
EOF
if build "$work/libc++.so.1" "$work/runtime.cc" -fPIC -shared -Wl,-soname,libc++.so.1 &&
   build "$work/cxx" "$work/cxx.cc" -fPIE -pie -L"$work" -l:libc++.so.1; then
    expect_failure "the C++ runtime" "cxx: symbol _Znwm" "$imports_list" "$@" "$work/cxx"
else
    say "the C++ runtime: FAILED to build the example:"
    cat "$work/build.log"
    failed=1
fi

# 5. Not position-independent.
if build "$work/fixed" "$work/unlisted.cc" -fno-pie -no-pie; then
    expect_failure "an executable that is not PIE" "type is 'EXEC" "$imports_list" "$@" "$work/fixed"
else
    say "an executable that is not PIE: FAILED to build the example:"
    cat "$work/build.log"
    failed=1
fi

# 6. A stale entry on the list.
{ cat "$imports_list"; echo 'gone_call@FBSD_1.0'; } > "$work/stale.txt"
expect_failure "a stale list entry" "lists gone_call@FBSD_1.0, which no program imports" \
    "$work/stale.txt" "$@"

[ "$failed" = 0 ] && say "every case as expected"
exit "$failed"
