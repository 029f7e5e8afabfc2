#!/usr/bin/env bash
# test_genmap.sh - checks the benchmark map generator.
#
# Usage: bench/test_genmap.sh [GENMAP [KORVAL]]
# GENMAP defaults to a copy compiled from bench/genmap.cpp into a temporary
# directory. With KORVAL, the converter must also find exactly the lines the
# generator promised, in every input order.
set -uo pipefail
export LC_ALL=C

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

genmap=${1:-}
if [[ -z $genmap ]]; then
    genmap=$tmp/genmap
    "${CXX:-g++}" -O2 -std=c++17 -Wall -Wextra -o "$genmap" "$here/genmap.cpp" || exit 1
fi
korval=${2:-}
[[ -z $korval || $korval == /* ]] || korval=$PWD/$korval

passed=0
failed=0
check() { # check NAME CONDITION-EXIT-STATUS
    if [[ $2 == 0 ]]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "FAIL: $1"
    fi
}

# Prints "converted library" counts by the converter's line rules: lines end
# at runs of CR/LF, "Code" opens a section, a line of 4+ characters not
# starting with a space closes it, a backslash makes a library line.
count_lines() {
    awk 'BEGIN { RS = "[\r\n]+" }
        length($0) < 4 { next }
        !incode { if ($0 == "Code") incode = 1; next }
        substr($0, 1, 1) != " " { incode = 0; next }
        index($0, "\\") { lib++; next }
        { n++ }
        END { print n + 0, lib + 0 }' "$1"
}

# Prints the addresses of the code-section lines in file order.
code_addresses() {
    awk 'BEGIN { RS = "\r\n" }
        length($0) < 4 { next }
        !incode { if ($0 == "Code") incode = 1; next }
        substr($0, 1, 1) != " " { incode = 0; next }
        { print $1 }' "$1"
}

n=20000
for order in asc desc random blocks; do
    "$genmap" --symbols $n --order $order --seed 42 -o "$tmp/$order.map"
    check "$order: generator exit status" $?
    read -r conv lib < <(count_lines "$tmp/$order.map")
    check "$order: $conv convertible lines, expected $n" $((conv != n))
    check "$order: $lib library lines, expected $((n / 8))" $((lib != n / 8))
done

"$genmap" --symbols $n --order random --seed 42 >"$tmp/again.map"
cmp -s "$tmp/random.map" "$tmp/again.map"
check "same seed gives the same bytes (file and standard output)" $?
"$genmap" --symbols $n --order random --seed 43 -o "$tmp/other.map"
cmp -s "$tmp/random.map" "$tmp/other.map"
check "another seed gives another map" $((!$?))

for order in desc random blocks; do
    cmp -s <(sort "$tmp/asc.map") <(sort "$tmp/$order.map")
    check "$order holds the same lines as asc" $?
done

no_cr=$(grep -cv $'\r$' "$tmp/asc.map")
all_cr=$(tr -cd '\r' <"$tmp/asc.map" | wc -c)
lines=$(wc -l <"$tmp/asc.map")
last=$(tail -c 2 "$tmp/asc.map" | od -An -tx1 | tr -d ' ')
check "every line ends in CR LF" $((no_cr != 0 || all_cr != lines || 16#$last != 16#0d0a))
longest=$(awk '{ if (length($0) > m) m = length($0) } END { print m }' "$tmp/asc.map")
check "longest line ($longest) fits the converter's 254-character line" $((longest > 255))

code_addresses "$tmp/asc.map" >"$tmp/asc.addr"
bad=$(grep -cv '^[0-9A-F]\{8\}$' "$tmp/asc.addr")
check "$bad code addresses are not 8 upper-case hex digits" $((bad != 0))
# Fixed-width upper-case hex compares correctly as text.
sort -c "$tmp/asc.addr" 2>/dev/null
check "asc lists addresses in ascending order" $?
dups=$(uniq -d "$tmp/asc.addr" | wc -l)
check "asc has some duplicate addresses ($dups)" $((dups == 0))
code_addresses "$tmp/desc.map" | sort -r -c 2>/dev/null
check "desc lists addresses in descending order" $?

# Ascending runs in file order: blocks must be long ascending runs (only the
# one cut-off block may be shorter than 64), random order must not be.
runs_of() {
    code_addresses "$1" | awk '{ a = $1 "" }
        NR > 1 && a < prev { print len; len = 0 }
        { prev = a; len++ }
        END { print len }'
}
runs_of "$tmp/blocks.map" >"$tmp/blocks.runs"
nruns=$(wc -l <"$tmp/blocks.runs")
short=$(awk '$1 < 64' "$tmp/blocks.runs" | wc -l)
check "blocks: $nruns ascending runs, $short shorter than 64" $((nruns < 5 || short > 1))
longest_run=$(sort -n "$tmp/blocks.runs" | tail -n 1)
check "blocks: no run longer than 4096 lines merged by chance" $((longest_run > 2 * 4096))
nrandom=$(runs_of "$tmp/random.map" | wc -l)
check "random: shuffled ($nrandom ascending runs)" $((nrandom < n / 4))

# Names: mostly of ordinary length, some past the 32-character field, some
# C++ names in either mangling.
awk 'BEGIN { RS = "\r\n" } /^ [0-9A-F]+ [_?]/ { print length($2) }' "$tmp/asc.map" >"$tmp/len"
total=$(wc -l <"$tmp/len")
long=$(awk '$1 > 33' "$tmp/len" | wc -l)
typical=$(awk '$1 >= 6 && $1 <= 31' "$tmp/len" | wc -l)
check "some names longer than 32 characters ($long of $total)" $((long == 0 || long * 3 > total))
check "most names 6 to 30 characters ($typical of $total)" $((typical * 2 < total))
grep -q ' ?[A-Za-z]*@[A-Za-z]*@@' "$tmp/asc.map"
check "MSVC-style mangled names present" $?
grep -q ' _ZN[0-9]' "$tmp/asc.map"
check "Itanium-style mangled names present" $?

size1m=$(
    "$genmap" --symbols 1000000 --order asc --seed 1 | wc -c
)
check "1,000,000 symbols make about 100 MB ($size1m bytes)" \
    $((size1m < 80000000 || size1m > 120000000))

"$genmap" --symbols 0 >/dev/null 2>&1
check "--symbols 0 is refused" $(($? != 2))
"$genmap" --symbols 10 --order sideways >/dev/null 2>&1
check "an unknown order is refused" $(($? != 2))

if [[ -n $korval ]]; then
    for order in asc desc random blocks; do
        up=${order^^}
        cp "$tmp/$order.map" "$tmp/$up.MAP"
        end=$(cd "$tmp" && "$korval" "$up.MAP" "$up.COD" | tr -d '\r')
        got=$(sed -n 's/^End KORVAL - \([0-9]*\) map entries written\./\1/p' <<<"$end")
        check "korval converts $order: '$got' entries, expected $n" $((got != n))
        size=$(stat -c %s "$tmp/$up.COD" 2>/dev/null || echo 0)
        check "korval $order .COD size $size" $((size != 4 + 52 * n))
    done
fi

echo "$passed passed, $failed failed"
((failed == 0))
