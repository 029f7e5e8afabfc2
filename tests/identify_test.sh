#!/usr/bin/env bash
# identify_test.sh - every frame of a field report identified: a C++
# program with long namespaced template methods and a shared library of its
# own, built against the installed package with korval_code_map, reports
# faults in the library, in the C library and in a failed assert with full
# names or object+offset; the same report made without code maps is named
# by korval-lookup; a stale code map is refused; a -static build has its
# chain.
#
#     identify_test.sh CMAKE BUILD_DIR SOURCE_DIR
set -euo pipefail
cmake=$1 build=$2 source=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
out=$work/out

fail() {
    echo "identify_test: $*" >&2
    exit 1
}

# Runs program $1 in mode $2 from another directory; its standard error
# goes to $out/$3.err, its status to $out/$3.status.
run() {
    local status=0
    # (the shell's own word on a child killed by a signal goes nowhere)
    { (cd "$out" && exec "$1" "$2" >"$out/$3.out" 2>"$out/$3.err") || status=$?; } 2>/dev/null
    echo "$status" >"$out/$3.status"
}

"$cmake" --install "$build" --prefix "$prefix" >/dev/null
mkdir "$out"
"$cmake" -S "$source/tests/identify" -B "$work/app" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
"$cmake" --build "$work/app" -j 2 >/dev/null || fail "the build failed"
app=$work/app/app
for f in APP.COD LIBSHAPES.COD APP_STATIC.COD; do
    [ -f "$work/app/$f" ] || fail "korval_code_map made no $f"
done

# A fault in the program's own library: the full name of the template
# method, then the library's and the program's frames, none of the
# reporter's own.
run "$app" lib lib
grep -qx 'faulted' "$out/lib.out" || fail "lib: $(cat "$out/lib.out")"
head -n 1 "$out/lib.err" | grep -q '^EXCEPTION : Access error\. Ref to locn 0x00000000 at acme::storage::detail::BlockCache<int>::averagePerBin(unsigned long) const(shapes\.cpp\.o)+0x[0-9A-F]*\.$' ||
    fail "lib: report: $(cat "$out/lib.err")"
for caller in 'ShapesAverage(shapes\.cpp\.o)' \
    'inv::Ledger::averageOfBins()(app\.cpp\.o)' 'main(app\.cpp\.o)'; do
    grep -q "^  called from $caller+0x[0-9A-F]*$" "$out/lib.err" ||
        fail "lib: no call from $caller in: $(cat "$out/lib.err")"
done
! grep -q 'GuardCall\|RunGuarded\|korval::' "$out/lib.err" ||
    fail "lib: the reporter's own frames in: $(cat "$out/lib.err")"

# A fault inside the C library, which has no code map: object+offset.
run "$app" libc libc
head -n 1 "$out/libc.err" | grep -q '^EXCEPTION : Access error\. Ref to locn 0x00000000 at libc\.so\.6+0x[0-9A-F]*\.$' ||
    fail "libc: report: $(cat "$out/libc.err")"
grep -q '^  called from inv::Ledger::nameLength()(app\.cpp\.o)+0x' "$out/libc.err" ||
    fail "libc: chain: $(cat "$out/libc.err")"

# A failed assert is reported, naming the routine that asserted, and the
# process ends as abort ends it.
run "$app" assert assert
[ "$(cat "$out/assert.status")" = 134 ] || fail "assert: status $(cat "$out/assert.status")"
grep -q '^EXCEPTION : .* at ' "$out/assert.err" || fail "assert: no report: $(cat "$out/assert.err")"
grep -q 'inv::Ledger::checkedTotal()(app\.cpp\.o)+0x' "$out/assert.err" ||
    fail "assert: chain: $(cat "$out/assert.err")"

# Without code maps the report is object+offset throughout, and
# korval-lookup turns it into the named one.
mkdir "$work/maps"
mv "$work/app/APP.COD" "$work/app/LIBSHAPES.COD" "$work/maps/"
run "$app" lib bare
head -n 1 "$out/bare.err" | grep -q ' at libshapes\.so\.1+0x[0-9A-F]*\.$' ||
    fail "bare: report: $(cat "$out/bare.err")"
grep -q '^  called from app+0x[0-9A-F]*$' "$out/bare.err" || fail "bare: chain: $(cat "$out/bare.err")"
"$prefix/bin/korval-lookup" "$work/maps/APP.COD" "$work/maps/LIBSHAPES.COD" \
    <"$out/bare.err" >"$out/decoded.err" || fail "korval-lookup failed"
diff "$out/lib.err" "$out/decoded.err" >&2 || fail "korval-lookup's report differs from the named one"

# A stale code map: the program rebuilt, the old map kept beside it.
cp "$work/maps/LIBSHAPES.COD" "$work/app/"
"$cmake" -S "$source/tests/identify" -B "$work/app" -DCMAKE_CXX_FLAGS=-DSTALE_BUILD >/dev/null
"$cmake" --build "$work/app" --target app -j 2 >/dev/null || fail "the rebuild failed"
cp "$work/maps/APP.COD" "$work/app/APP.COD"
run "$app" lib stale
grep -q '^  called from app+0x[0-9A-F]*$' "$out/stale.err" ||
    fail "stale: a stale APP.COD was used: $(cat "$out/stale.err")"
! grep -q '(app\.cpp\.o)' "$out/stale.err" || fail "stale: named from a stale map: $(cat "$out/stale.err")"

# The static build: the chain from .eh_frame without its index.
run "$work/app/app_static" lib static
grep -q '^  called from inv::Ledger::averageOfBins()(app\.cpp\.o)+0x' "$out/static.err" ||
    fail "static: chain: $(cat "$out/static.err")"
