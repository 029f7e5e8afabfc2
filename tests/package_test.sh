#!/usr/bin/env bash
# package_test.sh - installs a build into a scratch prefix and builds a small
# C program against it three ways: a CMake project with find_package(korval),
# a Makefile with pkg-config, and a project that adds the source tree with
# add_subdirectory. Each program must link, stay position-independent, get
# APP.COD beside it, and load that code map when it runs.
#
#     package_test.sh CMAKE BUILD_DIR SOURCE_DIR
set -euo pipefail
cmake=$1 build=$2 source=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
consumer=$source/tests/package

fail() {
    echo "package_test: $*" >&2
    exit 1
}

# APP.COD beside the program in $1, a code map naming main, which the
# program loads (as KORVAL.COD in the directory it runs in, for now).
check() {
    local dir=$1 how=$2 count size
    [ "$(readelf -h "$dir/app" | awk '/Type:/ {print $2}')" = DYN ] ||
        fail "$how: app is not position-independent"
    [ -f "$dir/APP.COD" ] || fail "$how: no APP.COD beside app"
    count=$(od -An -tu4 -N4 "$dir/APP.COD" | tr -d ' ')
    size=$(stat -c %s "$dir/APP.COD")
    [ "$count" -gt 0 ] && [ "$size" -eq $((4 + 52 * count)) ] ||
        fail "$how: APP.COD of $size bytes holds $count records"
    grep -qa main "$dir/APP.COD" || fail "$how: APP.COD names no main"
    cp "$dir/APP.COD" "$dir/KORVAL.COD"
    [ "$(cd "$dir" && ./app)" = "app: code map loaded" ] || fail "$how: app did not run as expected"
}

"$cmake" --install "$build" --prefix "$prefix" >/dev/null
for f in bin/korval bin/korval-codemap include/korval/mapdebug.h lib/libkorval_mapdebug.a \
    lib/pkgconfig/korval.pc share/man/man1/korval.1 share/man/man1/korval-codemap.1; do
    [ -f "$prefix/$f" ] || fail "$f is not installed"
done

# find_package and korval_code_map, with the installed tools.
"$cmake" -S "$consumer" -B "$work/package" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
"$cmake" --build "$work/package" -j 2 >/dev/null || fail "find_package: the build failed"
check "$work/package" find_package

# pkg-config and the two tools by hand.
mkdir "$work/make"
cp "$consumer/app.c" "$consumer/Makefile" "$work/make"
PATH=$prefix/bin:$PATH PKG_CONFIG_PATH=$prefix/lib/pkgconfig make -C "$work/make" -s >/dev/null ||
    fail "pkg-config: the build failed"
check "$work/make" pkg-config

# add_subdirectory of the source tree, which builds the tools too.
"$cmake" -S "$consumer" -B "$work/subdir" -DKORVAL_SOURCE_DIR="$source" >/dev/null
"$cmake" --build "$work/subdir" -j 2 >/dev/null || fail "add_subdirectory: the build failed"
check "$work/subdir" add_subdirectory
