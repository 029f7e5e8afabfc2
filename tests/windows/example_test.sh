#!/usr/bin/env bash
# example_test.sh - the Windows package as a project cross-built on Linux
# uses it: installs the Windows build into a scratch prefix and builds the
# guarded example against it with the MinGW-w64 toolchain file and
# find_package(korval), its code maps made by the native tools. Run under
# Wine from another directory, each program must report the faults of its
# threads by name with the calls that led there. The package's own
# korval-codemap.exe and korval.exe must make the same code map.
#
#     example_test.sh CMAKE BUILD_DIR SOURCE_DIR HOST_TOOLS WINE
set -euo pipefail
cmake=$1 build=$2 source=$3 host=$4 wine=$5
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
example=$work/example
elsewhere=$work/elsewhere
mkdir "$elsewhere"

fail() {
    echo "example_test: $*" >&2
    exit 1
}

# Runs a program of the example under Wine in $elsewhere: its output, less
# the CR of each line end, in out and err there.
run() {
    local status=0
    (cd "$elsewhere" && "$wine" "$example/$1" "${@:2}" >out.crlf 2>err.crlf) || status=$?
    tr -d '\r' <"$elsewhere/out.crlf" >"$elsewhere/out"
    tr -d '\r' <"$elsewhere/err.crlf" >"$elsewhere/err"
    return $status
}

"$cmake" --install "$build" --prefix "$prefix" >/dev/null
for f in bin/korval.exe bin/korval-codemap.exe include/korval/mapdebug.h \
    lib/libkorval_mapdebug.a lib/cmake/korval/korvalConfig.cmake; do
    [ -f "$prefix/$f" ] || fail "$f is not installed"
done

# The posix thread model for std::thread in guarded.cpp; linked statically,
# so that no DLL of the toolchain must lie beside the programs. The package
# lies outside the toolchain's root, where find_package looks: korval_DIR.
"$cmake" -S "$source/examples/guarded" -B "$example" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$source/cmake/mingw-w64-x86_64.cmake" -DMINGW_THREADS=posix \
    -DCMAKE_EXE_LINKER_FLAGS=-static -Dkorval_DIR="$prefix/lib/cmake/korval" \
    -DKORVAL_HOST_TOOLS="$host" >/dev/null
"$cmake" --build "$example" -j 2 >/dev/null || fail "the build failed"
for exe in guarded guarded_cpp; do
    [[ "$(x86_64-w64-mingw32-objdump -p "$example/$exe.exe")" = *DYNAMIC_BASE* ]] ||
        fail "$exe.exe has no dynamic base"
done
[ -f "$example/GUARDED.COD" ] || fail "no GUARDED.COD beside guarded.exe"

# Four reports of a fault inside strlen, each naming the calls from Work
# and Worker, and the threads going on.
run guarded.exe || fail "guarded.exe ended with status $?"
[ "$(grep -c 'faulted$' "$elsewhere/out")" = 4 ] || fail "$(cat "$elsewhere/out")"
[ "$(grep -c '^EXCEPTION : Access error. Ref to locn 0x00000000 at [^ ()]*\.dll+0x[0-9A-F]*\.$' \
    "$elsewhere/err")" = 4 ] || fail "reports: $(cat "$elsewhere/err")"
for caller in Work Worker; do
    [ "$(grep -c "^  called from $caller(guarded\.c\.obj)+0x[0-9A-F]*$" "$elsewhere/err")" = 4 ] ||
        fail "no call from $caller in: $(cat "$elsewhere/err")"
done

# Without the guard the fault ends it: Wine passes on the low byte of the
# exception code, 0xC0000005.
status=0
run guarded.exe --unguarded || status=$?
[ $status = 5 ] || fail "unguarded, the fault ended it with status $status"
[ ! -s "$elsewhere/out" ] || fail "unguarded, it went on: $(cat "$elsewhere/out")"

# The C++ exception passes through, the division by zero is reported.
run guarded_cpp.exe || fail "guarded_cpp.exe failed"
[ "$(sort "$elsewhere/out")" = "$(printf '%s\n' 'request 1: no such request' \
    'request 2: faulted' 'request 3: answered')" ] || fail "$(cat "$elsewhere/out")"
grep -q '^EXCEPTION : Integer divide by zero at [^ ]*Serve[^ ]*(guarded\.cpp\.obj)+0x[0-9A-F]*\.$' \
    "$elsewhere/err" || fail "report: $(cat "$elsewhere/err")"

# The package's own tools make the code map the native ones made.
(cd "$example" && "$wine" "$prefix/bin/korval-codemap.exe" guarded_cpp.exe guarded_cpp.ldmap \
    WINE.MAP >/dev/null && "$wine" "$prefix/bin/korval.exe" WINE.MAP >/dev/null) ||
    fail "the package's tools failed"
cmp -s "$example/WINE.MAP" "$example/GUARDED_CPP.MAP" || fail "korval-codemap.exe: another map"
cmp -s "$example/WINE.COD" "$example/GUARDED_CPP.COD" || fail "korval.exe: another code map"
