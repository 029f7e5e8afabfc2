#!/usr/bin/env bash
# example_test.sh - the Windows package as a project cross-built on Linux
# uses it: installs the Windows build into a scratch prefix, checks that its
# library defines no global name but its own, and builds the guarded example
# against it with the MinGW-w64 toolchain file and find_package(korval), its
# code maps made by the native korval-codemap. Run under Wine from another
# directory, each program must report the faults of its threads by name with
# the calls that led there. The package's own korval-codemap.exe must make
# the same code map, and korval.exe the same records from its text map. Last,
# the README's Windows recipe, as it stands with the scratch prefix and the
# native tools for /opt/korval-win64 and /opt/korval/bin.
#
#     example_test.sh CMAKE BUILD_DIR SOURCE_DIR HOST_TOOLS WINE
set -euo pipefail
cmake=$1 build=$2 source=$3 host=$4 wine=$5
. "$source/tests/readme_block.sh"
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
for f in bin/korval.exe bin/korval-codemap.exe bin/korval-lookup.exe include/korval/mapdebug.h \
    lib/libkorval_mapdebug.a lib/cmake/korval/korvalConfig.cmake; do
    [ -f "$prefix/$f" ] || fail "$f is not installed"
done

# The library's global names: those of its header, those in namespace
# korval and the korval_ ones of its assembly; besides, the weak
# instantiations of the C++ library's templates and the linker's
# .refptr. indirections, which are not ours.
header_names=$(grep -v '^struct' "$prefix/include/korval/mapdebug.h" |
    sed -nE 's/^(extern )?[A-Za-z_][A-Za-z0-9_]*[ *]+([A-Za-z_][A-Za-z0-9_]*) *[(;].*/\2/p')
[ "$(echo "$header_names" | grep -c .)" -ge 8 ] || fail "no names read from mapdebug.h"
strays=$(x86_64-w64-mingw32-nm -g --defined-only "$prefix/lib/libkorval_mapdebug.a" |
    awk 'NF == 3 {print $2, $3}' | sort -u | while read -r type name; do
        grep -qxF "$name" <<<"$header_names" && continue
        [[ $name =~ ^_Z(GV|T[VIST])?Z?N[KVrO]*6korval || $name == korval_* ]] && continue
        [[ $type == [WVuR] && ( $name =~ ^_Z(GV|T[VIS])?Z?N?[KVrO]*(St|S[absiod]|9__gnu_cxx) ||
            $name == .refptr.* || $name == DW.ref.__gxx_personality_seh0 ) ]] && continue
        echo "$type $name"
    done)
[ -z "$strays" ] || fail "the library defines global names not its own: $strays"

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
# Serve is named in full, as GUARDED_CPP.COD's extension holds it, at an
# offset that lies inside it: the native korval-lookup names Serve's linked
# address plus that offset alike.
report=$(grep '^EXCEPTION : Integer divide by zero at ' "$elsewhere/err") ||
    fail "report: $(cat "$elsewhere/err")"
serve='(anonymous namespace)::Serve(void*)(guarded.cpp.obj)+0x'
shape='^EXCEPTION : Integer divide by zero at (.*\+0x)([0-9A-F]+)\.$'
[[ $report =~ $shape && ${BASH_REMATCH[1]} == "$serve" ]] || fail "report: $report"
offset=${BASH_REMATCH[2]}
entry=$(x86_64-w64-mingw32-nm "$example/guarded_cpp.exe" | awk '$3 == "_ZN12_GLOBAL__N_15ServeEPv" {print $1}')
[ -n "$entry" ] || fail "no Serve in guarded_cpp.exe"
where=$("$host/korval-lookup" "$example/GUARDED_CPP.COD" "0x$(printf '%X' $((0x$entry + 0x$offset)))")
[ "$where" = "$serve$offset" ] || fail "Serve+0x$offset is $where"

# The package's own korval-codemap.exe makes the code map the native one
# made, and the text map from which korval.exe makes the same records.
(cd "$example" && "$wine" "$prefix/bin/korval-codemap.exe" --map guarded_cpp.ldmap \
    -o WINE.COD guarded_cpp.exe >/dev/null &&
    "$wine" "$prefix/bin/korval-codemap.exe" --map guarded_cpp.ldmap -o WINE.MAP guarded_cpp.exe \
        >/dev/null && "$wine" "$prefix/bin/korval.exe" WINE.MAP TABLE.COD >/dev/null) ||
    fail "the package's tools failed"
cmp -s "$example/WINE.COD" "$example/GUARDED_CPP.COD" || fail "korval-codemap.exe: another code map"
cmp -s "$example/TABLE.COD" "$example/GUARDED_CPP.COD" -n "$(stat -c %s "$example/TABLE.COD")" ||
    fail "korval.exe: other records"

# korval-codemap.exe knows its inputs from other files however named (stat
# gives no inode numbers on Windows), and refuses to overwrite them.
cp "$example/guarded_cpp.exe" "$work/before.exe"
status=0
(cd "$example" && "$wine" "$prefix/bin/korval-codemap.exe" -o .\\GUARDED_CPP.exe guarded_cpp.exe \
    >/dev/null 2>&1) || status=$?
[ $status = 1 ] && cmp -s "$work/before.exe" "$example/guarded_cpp.exe" ||
    fail "korval-codemap.exe: its input as output, status $status"
(cd "$example" && "$wine" "$prefix/bin/korval-codemap.exe" -o WINE.COD guarded_cpp.exe >/dev/null) ||
    fail "korval-codemap.exe: an output that exists, not an input, refused"

# A stripped DLL: its code map from its export table, closed at the end of
# its code, so that its one exported function is named.
x86_64-w64-mingw32-strip -o "$work/plugin.dll" "$build/tests/windows/guard_test_dll.dll"
"$host/korval-codemap" "$work/plugin.dll" 2>"$work/note" || fail "plugin.dll: $(cat "$work/note")"
[ "$(cat "$work/note")" = "korval-codemap: $work/plugin.dll has no symbol table: its exported \
functions only" ] || fail "plugin.dll: $(cat "$work/note")"
entry=$(x86_64-w64-mingw32-nm "$build/tests/windows/guard_test_dll.dll" | awk '$3 == "RunCase" {print $1}')
[ "$("$host/korval-lookup" "$work/PLUGIN.COD" "0x$entry")" = "RunCase(plugin.dll)+0x0" ] ||
    fail "plugin.dll: RunCase at 0x$entry not named"

# The README's recipe by hand, its app.c faulting inside Work.
block() {
    readme_block "$source/README.md" "$@" | sed "s|/opt/korval-win64|$prefix|g; s|/opt/korval/bin|$host|g"
}
recipe=$work/recipe
mkdir "$recipe"
block "## Using the fault reporter in your program" c 1 >"$recipe/app.c"
commands=$(block "### Windows with MinGW" sh 1)
[ -s "$recipe/app.c" ] && [ -n "$commands" ] || fail "no Windows recipe in the README"
(cd "$recipe" && bash -euo pipefail -c "$commands" >log 2>&1) || fail "recipe: $(cat "$recipe/log")"
[ -f "$recipe/APP.COD" ] || fail "recipe: no APP.COD"
example=$recipe
run app.exe || fail "recipe: app.exe ended with status $?: $(cat "$elsewhere/err")"
[ "$(cat "$elsewhere/out")" = faulted ] || fail "recipe: $(cat "$elsewhere/out")"
grep -q '^EXCEPTION : Access error. Ref to locn 0x00000000 at Work(app\.o)+0x[0-9A-F]*\.$' \
    "$elsewhere/err" || fail "recipe: report: $(cat "$elsewhere/err")"
