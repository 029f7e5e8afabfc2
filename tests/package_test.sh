#!/usr/bin/env bash
# package_test.sh - installs a build into a scratch prefix and builds the
# guarded example against it three ways, as other projects would: its CMake
# project with find_package(korval), its Makefile with pkg-config, and a
# project that adds the source tree with add_subdirectory. Each program must
# stay position-independent, get its code map beside it, and, run from
# another directory, report the faults of its threads by name with the
# calls that led there.
#
#     package_test.sh CMAKE BUILD_DIR SOURCE_DIR
set -euo pipefail
cmake=$1 build=$2 source=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
example=$source/examples/guarded
elsewhere=$work/elsewhere
mkdir "$elsewhere"

fail() {
    echo "package_test: $*" >&2
    exit 1
}

# The C program in $1: four reports of a fault inside strlen (libc.so.6+0x...), each naming
# the calls from Work (into which the compiler may have folded CountWords)
# and Worker, and the threads going on; without the guard, death by SIGSEGV.
check_c() {
    local dir=$1 how=$2 status=0
    [ "$(readelf -h "$dir/guarded" | awk '/Type:/ {print $2}')" = DYN ] ||
        fail "$how: guarded is not position-independent"
    [ -f "$dir/GUARDED.COD" ] || fail "$how: no GUARDED.COD beside guarded"
    (cd "$elsewhere" && "$dir/guarded" >out 2>err) || fail "$how: guarded ended with status $?"
    [ "$(grep -c 'faulted$' "$elsewhere/out")" = 4 ] || fail "$how: $(cat "$elsewhere/out")"
    [ "$(grep -c '^EXCEPTION : Access error. Ref to locn 0x00000000 at libc\.so\.6+0x[0-9A-F]*\.$' \
        "$elsewhere/err")" = 4 ] || fail "$how: reports: $(cat "$elsewhere/err")"
    for caller in Work Worker; do
        [ "$(grep -c "^  called from $caller([^()]*)+0x[0-9A-F]*$" "$elsewhere/err")" = 4 ] ||
            fail "$how: no call from $caller in: $(cat "$elsewhere/err")"
    done
    (cd "$elsewhere" && exec "$dir/guarded" --unguarded >/dev/null 2>&1) 2>/dev/null || status=$?
    [ $status = $((128 + 11)) ] || fail "$how: unguarded, the fault ended it with status $status"
}

# The C++ program in $1: the exception passes through, the fault is reported.
check_cpp() {
    local dir=$1 how=$2
    (cd "$elsewhere" && "$dir/guarded_cpp" >out 2>err) || fail "$how: guarded_cpp failed"
    [ "$(sort "$elsewhere/out")" = "$(printf '%s\n' 'request 1: no such request' \
        'request 2: faulted' 'request 3: answered')" ] || fail "$how: $(cat "$elsewhere/out")"
    grep -q '^EXCEPTION : Integer divide by zero at [^ ]*Serve[^ ]*(guarded.cpp.o)+0x[0-9A-F]*\.$' \
        "$elsewhere/err" || fail "$how: report: $(cat "$elsewhere/err")"
}

"$cmake" --install "$build" --prefix "$prefix" >/dev/null
for f in bin/korval bin/korval-codemap include/korval/mapdebug.h lib/libkorval_mapdebug.a \
    lib/pkgconfig/korval.pc share/man/man1/korval.1 share/man/man1/korval-codemap.1; do
    [ -f "$prefix/$f" ] || fail "$f is not installed"
done

# The installed header is C99, warning-clean.
cc -std=c99 -pedantic-errors -Wall -Wextra -Werror -fsyntax-only -I"$prefix/include" \
    "$example/guarded.c" || fail "the header is not C99"

# find_package and korval_code_map, with the installed tools, built with
# optimization as a release would be.
"$cmake" -S "$example" -B "$work/package" -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_BUILD_TYPE=Release >/dev/null
"$cmake" --build "$work/package" -j 2 >/dev/null || fail "find_package: the build failed"
check_c "$work/package" find_package
check_cpp "$work/package" find_package

# pkg-config and the two tools by hand.
mkdir "$work/make"
cp "$example/guarded.c" "$example/Makefile" "$work/make"
PATH=$prefix/bin:$PATH PKG_CONFIG_PATH=$prefix/lib/pkgconfig make -C "$work/make" -s >/dev/null ||
    fail "pkg-config: the build failed"
check_c "$work/make" pkg-config

# add_subdirectory of the source tree, which builds the tools too.
"$cmake" -S "$source/tests/package" -B "$work/subdir" -DKORVAL_SOURCE_DIR="$source" >/dev/null
"$cmake" --build "$work/subdir" -j 2 >/dev/null || fail "add_subdirectory: the build failed"
check_c "$work/subdir/guarded" add_subdirectory
check_cpp "$work/subdir/guarded" add_subdirectory
