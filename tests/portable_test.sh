#!/usr/bin/env bash
# portable_test.sh - checks that the converter built with its portable byte
# kernels writes and says exactly what the shipped one does: both formats,
# with and without option I, on generated maps in every input order and on
# the maps of fuzz_convert's seed corpus (each file less its options byte).
#
# Usage: tests/portable_test.sh KORVAL KORVAL_PORTABLE GENMAP CORPUS_DIR
set -uo pipefail

korval=$(realpath "$1") portable=$(realpath "$2") genmap=$3 corpus=$4
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
mkdir "$tmp/shipped" "$tmp/portable"

maps=()
for order in asc desc random blocks; do
    "$genmap" --symbols 50000 --order "$order" --seed 3 -o "$tmp/$order.map" || exit 1
    maps+=("$order")
done
for seed in "$corpus"/*; do
    name=corpus-$(basename "$seed")
    tail -c +2 "$seed" >"$tmp/$name.map"
    maps+=("$name")
done

passed=0
failed=0
for map in "${maps[@]}"; do
    for options in "" "-a" "-i" "-a -i"; do
        out=OUT.COD
        [[ $options == *-a* ]] && out=OUT.ENT
        for build in shipped portable; do
            exe=$korval
            [[ $build == portable ]] && exe=$portable
            # What it said after the banner, its status, and what it wrote.
            # shellcheck disable=SC2086 # the options are separate words
            (cd "$tmp/$build" && "$exe" $options "../$map.map" OUT >"../$build.said")
            status=$?
            sed -i 1d "$tmp/$build.said"
            echo "status $status" >>"$tmp/$build.said"
            mv "$tmp/$build/$out" "$tmp/$build.out" || echo "no $out" >>"$tmp/$build.said"
        done
        if cmp -s "$tmp/shipped.out" "$tmp/portable.out" &&
            cmp -s "$tmp/shipped.said" "$tmp/portable.said" &&
            grep -qx "status 0" "$tmp/shipped.said"; then
            passed=$((passed + 1))
        else
            failed=$((failed + 1))
            echo "FAIL: $map ${options:-(no options)}"
            diff "$tmp/shipped.said" "$tmp/portable.said" | head -n 5
        fi
    done
done

echo "$passed passed, $failed failed"
((failed == 0 && passed > 0))
