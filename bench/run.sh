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
# Every single run goes to WORKDIR/runs.csv; bench/summary.py then takes the
# medians, checks the targets and writes the table (standard output,
# WORKDIR/bench.md, WORKDIR/summary.csv) and the chart (docs/bench.svg). A
# missed target is a result; the exit status is 1 only when a run failed,
# timed out or reported a wrong number of entries.
#
# Needs GNU time (/usr/bin/time) and python3; installs nothing.
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
command -v python3 >/dev/null || die "python3 is required for the summary; install it"
mkdir -p "$work"
work=$(cd "$work" && pwd)
[[ -z $svg || $svg == /* ]] || svg=$PWD/$svg
[[ $runs =~ ^[1-9][0-9]*$ ]] || die "BENCH_RUNS must be a positive number"

# usecs T: an EPOCHREALTIME reading in microseconds.
usecs() {
    local t=${1/./}
    echo $((10#$t))
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
echo "size,order,tool,run,seconds,peak_kib,status,entries,map_bytes" >runs.csv

# Per size/order/tool: the first status other than ok, the number of
# measured runs (cut to one for a tool whose warm-up alone was slow) and the
# whole seconds of the warm-up.
declare -A state nruns warm
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
        bytes=$(stat -c %s "$map")
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
                n=""
                if [[ $STATUS == ok && $tool != sort ]]; then
                    n=$(sed -n 's/^End KORVAL - \([0-9]*\) map entries written\..*/\1/p' "$tool.log")
                    [[ -n $n ]] || STATUS=noendline
                fi
                echo "$size,$order,$tool,$run,$WALL,$PEAK,$STATUS,$n,$bytes" >>runs.csv
                if [[ $STATUS != ok ]]; then
                    state[$key]=$STATUS
                    [[ $STATUS == skipped ]] || cp "$tool.log" "failed-$size-$order-$tool.log"
                    continue
                fi
                if ((run == 0)); then
                    warm[$key]=${WALL%.*}
                    if ((${WALL%.*} >= slow)); then nruns[$key]=1; fi
                fi
            done
        done
    done
done

elapsed=$((($(usecs "$EPOCHREALTIME") - $(usecs "$start")) / 1000000))
exec python3 "$here/summary.py" --seed "$seed" --elapsed "$elapsed" --svg "$svg" "$work"
