#!/usr/bin/env bash
# run.sh - times the converter against `sort -s -k1,1` on generated maps.
#
# Usage: bench/run.sh [KORVAL [WORKDIR]]    (defaults: build/korval, build/bench)
#
# For every size and input order a map is generated once (kept in WORKDIR)
# by the generator the build makes beside the converter, then the converter
# is timed writing .COD and .ENT, and the baseline sort is timed on the same
# file, interleaved run by run after one warm-up each.
# Their order turns round from one run to the next, so that none of the
# three always starts while the one before it still has its output written
# back to disk, which here costs the next run about 10 ms.
# The warm-up runs under timeout(1) and GNU time, which gives the peak memory
# and stops a converter that hangs; the measured runs are started directly
# between two readings of the shell's microsecond clock, so that the start-up
# of those helpers (a few ms) does not blur the small sizes. On a shared
# virtual machine a median of five runs still swings by a fifth from one
# bench to the next, so there are eleven by default; maps of up to 100,000
# symbols get three times as many, being quick and noisier.
#
# Results: a table on standard output, WORKDIR/bench.md, the medians in
# WORKDIR/summary.csv, every single run in WORKDIR/runs.csv and the chart in
# docs/bench.svg. A missed target is a result; the exit status is 1 only when
# a run failed, timed out or reported a wrong number of entries.
#
# Needs GNU time (/usr/bin/time); installs nothing.
# Environment: BENCH_SIZES, BENCH_ORDERS, BENCH_RUNS (default 11), BENCH_SEED,
# BENCH_TIMEOUT (seconds for one run), BENCH_BUDGET (seconds for all runs),
# BENCH_SLOW (a warm-up slower than this many seconds gets one measured run),
# BENCH_SVG (chart path, empty for none), GENMAP (the map generator, default
# genmap beside KORVAL).
set -euo pipefail
export LC_ALL=C
start=$EPOCHREALTIME

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/.." && pwd)

korval=${1:-build/korval}
work=${2:-build/bench}
sizes=${BENCH_SIZES:-10000 100000 1000000}
orders=${BENCH_ORDERS:-asc desc random blocks}
runs=${BENCH_RUNS:-11}
seed=${BENCH_SEED:-1}
run_limit=${BENCH_TIMEOUT:-120}
budget=${BENCH_BUDGET:-420}
svg=${BENCH_SVG-$root/docs/bench.svg}

die() {
    echo "bench: $*" >&2
    exit 1
}

[[ -x $korval && ! -d $korval ]] || die "no converter binary at '$korval' (build it first)"
korval=$(cd "$(dirname "$korval")" && pwd)/$(basename "$korval")
genmap=${GENMAP:-$(dirname "$korval")/genmap}
[[ -x $genmap && ! -d $genmap ]] || die "no map generator at '$genmap' (build it first)"
genmap=$(cd "$(dirname "$genmap")" && pwd)/$(basename "$genmap")
[[ -x /usr/bin/time ]] || die "GNU time (/usr/bin/time) is required; install the 'time' package"
mkdir -p "$work"
work=$(cd "$work" && pwd)
[[ -z $svg || $svg == /* ]] || svg=$PWD/$svg
[[ $runs =~ ^[1-9][0-9]*$ ]] || die "BENCH_RUNS must be a positive number"

# usecs T: an EPOCHREALTIME reading in microseconds.
usecs() {
    local t=${1/./}
    echo $((10#$t))
}

# median of the numbers given as arguments; empty when there are none.
median() {
    (($#)) || return 0
    printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 }
        END { if (NR == 0) print "";
              else if (NR % 2) printf "%.6f", v[(NR + 1) / 2];
              else printf "%.6f", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# tool_command TOOL MAP: sets CMD to the command line of one measured tool.
tool_command() {
    local out=${2%.MAP}
    case $1 in
    cod) CMD=("$korval" "$2" "$out.COD") ;;
    ent) CMD=("$korval" -a "$2" "$out.ENT") ;;
    sort) CMD=(sort -s "-k1,1" "$2" -o /dev/null) ;;
    esac
}

# timed_run MODE LOG [EXPECT]: runs CMD once with its output to LOG and sets
# WALL (s), PEAK (KiB, warm-up only) and STATUS. MODE warmup runs it under GNU
# time and the time limit; MODE bare runs it directly, unless it would take
# the EXPECT seconds of its warm-up past the deadline.
timed_run() {
    local mode=$1 log=$2 expect=${3:-0} rc=0 t0 t1
    local left=$((deadline - $(usecs "$EPOCHREALTIME") / 1000000))
    if ((left > run_limit)); then left=$run_limit; fi
    WALL="" PEAK="" STATUS=skipped
    ((left >= 1 && expect < left)) || return 0
    rm -f peak.txt
    if [[ $mode == warmup ]]; then
        t0=$EPOCHREALTIME
        timeout -s KILL "$left" /usr/bin/time -f "%M" -o peak.txt "${CMD[@]}" >"$log" 2>&1 || rc=$?
        t1=$EPOCHREALTIME
        PEAK=$(tail -n 1 peak.txt 2>/dev/null || true)
    else
        t0=$EPOCHREALTIME
        "${CMD[@]}" >"$log" 2>&1 || rc=$?
        t1=$EPOCHREALTIME
    fi
    local us=$(($(usecs "$t1") - $(usecs "$t0")))
    printf -v WALL '%d.%06d' $((us / 1000000)) $((us % 1000000))
    if ((rc == 137 || rc == 124)); then
        STATUS=timeout
    elif ((rc != 0)); then
        STATUS="exit$rc"
    else
        STATUS=ok
    fi
}

cd "$work"
deadline=$(($(usecs "$start") / 1000000 + budget))
rm -f failed-*.log
echo "size,order,tool,run,seconds,peak_kib,status" >runs.csv

# Per size/order/tool: space-separated wall times, peak KiB, state, number
# of measured runs (cut to one for a tool whose warm-up alone was slow),
# whole seconds of the warm-up.
declare -A times peaks state entries fsize nruns warm
slow=${BENCH_SLOW:-20}
tools=(cod ent sort)

for size in $sizes; do
    for order in $orders; do
        map=$(printf 'M%s_%s_S%s.MAP' "$size" "${order^^}" "$seed")
        if [[ ! -s $map || $map -ot $genmap ]]; then
            echo "bench: generating $map" >&2
            "$genmap" --symbols "$size" --order "$order" --seed "$seed" -o "$map.tmp"
            mv "$map.tmp" "$map"
        fi
        fsize[$size/$order]=$(stat -c %s "$map")
        count=$runs
        if ((size <= 100000)); then count=$((3 * runs)); fi
        echo "bench: $size $order" >&2
        # Warm-up, then the measured runs of the three tools interleaved.
        for run in $(seq 0 "$count"); do
            turn=$((run % ${#tools[@]}))
            for tool in "${tools[@]:turn}" "${tools[@]:0:turn}"; do
                key=$size/$order/$tool
                [[ ${state[$key]:-ok} == ok ]] || continue
                ((run <= ${nruns[$key]:-$count})) || continue
                tool_command "$tool" "$map"
                if ((run == 0)); then
                    timed_run warmup "$tool.log"
                else
                    timed_run bare "$tool.log" "${warm[$key]}"
                fi
                echo "$size,$order,$tool,$run,$WALL,$PEAK,$STATUS" >>runs.csv
                if [[ $STATUS != ok ]]; then
                    state[$key]=$STATUS
                    [[ $STATUS == skipped ]] || cp "$tool.log" "failed-$size-$order-$tool.log"
                    continue
                fi
                if [[ $tool != sort ]]; then
                    n=$(sed -n 's/^End KORVAL - \([0-9]*\) map entries written\..*/\1/p' "$tool.log")
                    if [[ -z $n ]]; then
                        state[$key]=noendline
                        continue
                    fi
                    entries[$key]=$n
                fi
                if ((run == 0)); then
                    peaks[$key]=$PEAK
                    warm[$key]=${WALL%.*}
                    if ((${WALL%.*} >= slow)); then nruns[$key]=1; fi
                    continue
                fi
                times[$key]="${times[$key]:-} $WALL"
            done
        done
    done
done

# Targets: at 1,000,000 symbols korval/sort <= 1.0 for ascending input and
# <= 0.5 for the other orders; 1,000,000 vs 100,000 symbols costs <= 12x;
# peak memory <= input + 80 B per entry + 16 MiB.
echo "size,order,format,runs,korval_s,baseline_s,ratio,ratio_target,scale,peak_mib,bound_mib,entries,mark" >summary.csv
rows=()
misses=0
broken=0
for size in $sizes; do
    for order in $orders; do
        base_key=$size/$order/sort
        read -ra bt <<<"${times[$base_key]:-}"
        base=$(median "${bt[@]}")
        for tool in cod ent; do
            key=$size/$order/$tool
            read -ra kt <<<"${times[$key]:-}"
            med=$(median "${kt[@]}")
            small=$(
                read -ra st <<<"${times[100000/$order/$tool]:-}"
                median "${st[@]}"
            )
            n=${entries[$key]:-}
            row=$(awk -v size="$size" -v order="$order" -v fmt=".${tool^^}" -v runs="${#kt[@]}" \
                -v k="$med" -v b="$base" -v s="$small" -v kib="${peaks[$key]:-}" \
                -v in_bytes="${fsize[$size/$order]}" -v n="$n" -v st="${state[$key]:-ok}" \
                -v bst="${state[$base_key]:-ok}" -v want="$size" '
                # A row is marked MISS with the failed checks in brackets.
                function fail(what) { note = note (note == "" ? "" : ";") what }
                BEGIN {
                    # Runs cut off by the overall time budget count if some were measured.
                    if (st != "ok" && !(st == "skipped" && k != "")) fail(st)
                    if (bst != "ok" && !(bst == "skipped" && b != "")) fail("sort:" bst)
                    if (n != "" && n != want) fail("entries")
                    ratio = (k != "" && b != "" && b > 0) ? k / b : ""
                    target = ""
                    scale = ""
                    if (size == 1000000) {
                        target = (order == "asc") ? 1.0 : 0.5
                        if (ratio == "" || ratio > target) fail("ratio")
                        if (k != "" && s != "" && s > 0) scale = k / s
                        if (scale == "" || scale > 12) fail("scale")
                    }
                    peak = (kib != "") ? kib / 1024 : ""
                    bound = (n != "") ? (in_bytes + 80 * n) / 1048576 + 16 : ""
                    if (peak == "" || bound == "") {
                        if (note == "") fail("memory")
                    } else if (peak > bound) {
                        fail("memory")
                    }
                    printf "%s,%s,%s,%s,%s,%s,%s,%s,%s,%s,%s,%s,%s\n", size, order, fmt, runs,
                        (k == "" ? "" : sprintf("%.4f", k)), (b == "" ? "" : sprintf("%.4f", b)),
                        (ratio == "" ? "" : sprintf("%.2f", ratio)),
                        (target == "" ? "" : sprintf("%.1f", target)),
                        (scale == "" ? "" : sprintf("%.1f", scale)),
                        (peak == "" ? "" : sprintf("%.1f", peak)),
                        (bound == "" ? "" : sprintf("%.1f", bound)), n,
                        (note == "" ? "PASS" : "MISS(" note ")")
                }')
            if [[ $row == *MISS* ]]; then misses=$((misses + 1)); fi
            if [[ ${state[$key]:-ok} != @(ok|skipped) || ${state[$base_key]:-ok} != @(ok|skipped) ||
                -n $n && $n != "$size" ]]; then
                broken=$((broken + 1))
            fi
            echo "$row" >>summary.csv
            # Shown with a dash in every empty cell.
            row=${row//,,/,-,}
            rows+=("${row//,,/,-,}")
        done
    done
done

elapsed=$((($(usecs "$EPOCHREALTIME") - $(usecs "$start")) / 1000000))
{
    echo "# KORVAL benchmark"
    echo
    echo "$(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores," \
        "$(sed -n 's/^model name[^:]*: //p' /proc/cpuinfo | head -n 1)," \
        "seed $seed; median of the runs after one warm-up; the whole run took $elapsed s."
    echo "Baseline: \`LC_ALL=C sort -s -k1,1 MAP\`. Ratio = korval / baseline; scale = time at"
    echo "1,000,000 / time at 100,000 symbols; bound = input + 80 B x entries + 16 MiB."
    echo "Targets at 1,000,000 symbols: ratio <= 1.0 (asc) or 0.5 (other orders), scale <= 12;"
    echo "every row: peak memory within the bound."
    echo
    echo "| symbols | order | format | runs | korval (s) | baseline (s) | ratio | target | scale | peak (MiB) | bound (MiB) | entries | mark |"
    echo "|--:|---|---|--:|--:|--:|--:|--:|--:|--:|--:|--:|---|"
    for row in "${rows[@]}"; do
        echo "| ${row//,/ | } |"
    done
} >bench.md

{
    echo "symbols order format runs korval_s baseline_s ratio target scale peak_MiB bound_MiB entries mark"
    for row in "${rows[@]}"; do
        echo "${row//,/ }"
    done
} | column -t
echo
echo "bench: ${#rows[@]} rows, $misses missed a target, $broken with failed runs or wrong" \
    "entry counts; the run took $elapsed s."
echo "bench: tables in $work/bench.md, $work/summary.csv, $work/runs.csv"

if [[ -n $svg ]]; then
    if command -v python3 >/dev/null; then
        python3 "$here/plot.py" summary.csv "$svg" && echo "bench: chart in $svg"
    else
        echo "bench: python3 not found, no chart drawn" >&2
    fi
fi

# Missed targets are results; a converter that failed or miscounted is not.
((broken == 0))
