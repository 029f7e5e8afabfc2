#!/usr/bin/env bash
# package_test.sh - installs a build into a scratch prefix and uses it as
# other projects would: checks that the library defines no global name but
# its own; builds the guarded example against it three ways (its CMake
# project with find_package(korval), its Makefile with pkg-config, and a
# project that adds the source tree with add_subdirectory), each program
# position-independent with its code map beside it, reporting the faults of
# its threads by name with the calls that led there when run from another
# directory; and runs the README's recipes, its fenced blocks as they stand
# with /opt/korval made the scratch prefix.
#
#     package_test.sh CMAKE BUILD_DIR SOURCE_DIR
set -euo pipefail
cmake=$1 build=$2 source=$3
. "$source/tests/readme_block.sh"
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
    grep -q '^EXCEPTION : Integer divide by zero at .*Serve(void\*)(guarded.cpp.o)+0x[0-9A-F]*\.$' \
        "$elsewhere/err" || fail "$how: report: $(cat "$elsewhere/err")"
}

"$cmake" --install "$build" --prefix "$prefix" >/dev/null
for f in bin/korval bin/korval-codemap bin/korval-lookup include/korval/mapdebug.h \
    lib/libkorval_mapdebug.a lib/pkgconfig/korval.pc share/man/man1/korval.1 \
    share/man/man1/korval-codemap.1 share/man/man1/korval-lookup.1; do
    [ -f "$prefix/$f" ] || fail "$f is not installed"
done

# The library's global names are those the header declares, the ones in
# namespace korval and the korval_ ones of its assembly; besides, the weak
# instantiations of the C++ library's templates, which are not ours.
header_names=$(grep -v '^struct' "$prefix/include/korval/mapdebug.h" |
    sed -nE 's/^(extern )?[A-Za-z_][A-Za-z0-9_]*[ *]+([A-Za-z_][A-Za-z0-9_]*) *[(;].*/\2/p')
[ "$(echo "$header_names" | grep -c .)" -ge 8 ] || fail "no names read from mapdebug.h"
strays=$(nm -g --defined-only "$prefix/lib/libkorval_mapdebug.a" | awk 'NF == 3 {print $2, $3}' |
    sort -u | while read -r type name; do
        grep -qxF "$name" <<<"$header_names" && continue
        [[ $name =~ ^_Z(GV|T[VIST])?Z?N[KVrO]*6korval || $name == korval_* ]] && continue
        [[ $type == [WVu] && ( $name =~ ^_Z(GV|T[VIS])?Z?N?[KVrO]*(St|S[absiod]|9__gnu_cxx) ||
            $name == DW.ref.__gxx_personality_v0 ) ]] && continue
        echo "$type $name"
    done)
[ -z "$strays" ] || fail "the library defines global names not its own: $strays"

# Hence a program may have functions of those names: it links, and its
# fault is reported by name.
mkdir "$work/names"
cat >"$work/names/names.c" <<'NAMES'
#include <korval/mapdebug.h>
#include <stdio.h>

int ReadFile(void) { return 1; }
int CreateFileA(void) { return 2; }
int GetLastError(void) { return 3; }
void* VirtualAlloc(void) { return NULL; }
int CallChain(void) { return 4; }
int GuardCall(void) { return 5; }

static void Work(void* Arg) {
    *(volatile int*)Arg = ReadFile() + CreateFileA() + GetLastError() + CallChain() + GuardCall();
}

int main(void) {
    OpenDebugFile(NULL);
    int Done = RunGuarded(Work, VirtualAlloc());
    CloseDebug();
    puts(Done ? "done" : "faulted");
    return 0;
}
NAMES
(cd "$work/names" && cc -O2 -c names.c -I"$prefix/include" &&
    cc -o names names.o -Wl,-Map=names.ldmap -L"$prefix/lib" -lkorval_mapdebug -lstdc++ &&
    "$prefix/bin/korval-codemap" --map names.ldmap names 2>&1 &&
    ./names >out 2>err) >"$work/names/log" 2>&1 || fail "names: $(cat "$work/names/log")"
[ "$(cat "$work/names/out")" = faulted ] || fail "names: $(cat "$work/names/out")"
grep -q '^EXCEPTION : Access error. Ref to locn 0x00000000 at Work(names.o)+0x[0-9A-F]*\.$' \
    "$work/names/err" || fail "names: report: $(cat "$work/names/err")"

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

# pkg-config and korval-codemap by hand.
mkdir "$work/make"
cp "$example/guarded.c" "$example/Makefile" "$work/make"
make -C "$work/make" -s KORVAL="$prefix" >/dev/null || fail "pkg-config: the build failed"
check_c "$work/make" pkg-config

# add_subdirectory of the source tree, which builds the tools too.
"$cmake" -S "$source/tests/package" -B "$work/subdir" -DKORVAL_SOURCE_DIR="$source" >/dev/null
"$cmake" --build "$work/subdir" -j 2 >/dev/null || fail "add_subdirectory: the build failed"
check_c "$work/subdir/guarded" add_subdirectory
check_cpp "$work/subdir/guarded" add_subdirectory
# The shared library's code map, made and installed beside it.
[ -f "$work/subdir/LIBSHAPES.COD" ] || fail "add_subdirectory: no LIBSHAPES.COD"
"$cmake" --install "$work/subdir" --prefix "$work/subdir-installed" >/dev/null
cmp -s "$work/subdir/LIBSHAPES.COD" "$work/subdir-installed/lib/LIBSHAPES.COD" ||
    fail "add_subdirectory: LIBSHAPES.COD is not installed beside libshapes.so.1.2"
cmp -s "$work/subdir/LIBSHAPES.COD" "$work/subdir-installed/share/codemaps/LIBSHAPES.COD" ||
    fail "add_subdirectory: korval_install_code_map did not install LIBSHAPES.COD"
"$prefix/bin/korval-lookup" "$work/subdir-installed/lib/LIBSHAPES.COD" \
    "libshapes.so.1+0x$(nm "$work/subdir/libshapes.so.1.2" | awk '$3 == "ShapeArea" {print $1}')" \
    >"$work/lookup" || fail "korval-lookup failed"
[ "$(cat "$work/lookup")" = "ShapeArea(shapes.c.o)+0x0" ] || fail "lookup: $(cat "$work/lookup")"

# The README's recipes. block HEADING LANGUAGE N: the Nth fenced block in
# LANGUAGE under the heading, with the scratch prefix for /opt/korval.
block() {
    readme_block "$source/README.md" "$@" | sed "s|/opt/korval|$prefix|g"
}

# Runs the recipe (shell commands) $3 in a directory $1 of its own, which
# holds the README's app.c; the program then faulted once, reporting the
# fault inside Work, of the module $2, by name.
recipe() {
    local dir=$work/recipe-$1 module=$2
    mkdir "$dir"
    block "## Using the fault reporter in your program" c 1 >"$dir/app.c"
    [ -s "$dir/app.c" ] || fail "$1: no app.c in the README"
    [ -n "$3" ] || fail "$1: no commands in the README"
    (cd "$dir" && bash -euo pipefail -c "$3" >log 2>&1) || fail "$1: $(cat "$dir/log")"
    grep -qx faulted "$dir/log" || fail "$1: no fault: $(cat "$dir/log")"
    grep -q "^EXCEPTION : Access error. Ref to locn 0x00000000 at Work($module)+0x[0-9A-F]*\.$" \
        "$dir/log" || fail "$1: report: $(cat "$dir/log")"
}

cmake_recipe=$(block "### CMake" cmake 1)
[ -n "$cmake_recipe" ] || fail "no CMake recipe in the README"
recipe cmake 'app\.c\.o' "cat >CMakeLists.txt <<'RECIPE'
$cmake_recipe
RECIPE
$(block "### CMake" sh 1) >/dev/null
[ -f build/APP.COD ] && [ -f dist/bin/APP.COD ]
cd / && $work/recipe-cmake/dist/bin/app"

make_recipe=$(block "### Makefile with pkg-config" make 1)
[ -n "$make_recipe" ] || fail "no Makefile recipe in the README"
recipe make 'app\.o' "cat >Makefile <<'RECIPE'
$make_recipe
RECIPE
$(block "### Makefile with pkg-config" sh 1)"
[ -f "$work/recipe-make/APP.COD" ] || fail "make: no APP.COD"

recipe one-step app "$(block "### Makefile with pkg-config" sh 2)
./app"
