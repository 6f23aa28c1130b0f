#!/usr/bin/env bash
# Runs inside the VM (benchmarks/vm_session.sh starts it when benchmarks/run
# is given --group): the MotorGroup benchmarks of benchmarks/group.py.
#
#   bash benchmarks/vm_group.sh RESULTS_DIR RESPONDER
#
# Interfaces (made here when missing): vcan2-vcan5 carry the pipelining runs
# (one responder each, answering after the latency L), vcan6 and vcan7 the
# cost runs of rotalink and of the peer (a responder each that answers at
# once), vcan8 the simulator.
#
# Environment:
#   ROTALINK_BENCH_GROUP_DELAY_MS   the responders' latency L (default 20)
#   ROTALINK_BENCH_GROUP_CYCLES     timed group cycles per (N, B) (default 200)
#   ROTALINK_BENCH_GROUP_ROUNDS     timed rounds of N single commands (default 20)
#   ROTALINK_BENCH_GROUP_CPU        cycles per mode and N for CPU time (default 1000)
#   ROTALINK_BENCH_GROUP_STRACE     cycles counted under strace (default 200)
#   ROTALINK_BENCH_GROUP_CALLGRIND  cycles per mode and N under callgrind (default 20;
#                                   0 leaves callgrind out)
#   ROTALINK_BENCH_GROUP_MIXED_ONLY 1: only the cycle of 8 with every control mode
#                                   beside the MIT-only one (group.py's mixed and
#                                   control ways): system calls and instructions,
#                                   a few minutes under emulation
set -euo pipefail
cd "$(dirname "$0")/.."
out=$1 responder=$2
delay=${ROTALINK_BENCH_GROUP_DELAY_MS:-20}
cycles=${ROTALINK_BENCH_GROUP_CYCLES:-200}
rounds=${ROTALINK_BENCH_GROUP_ROUNDS:-20}
cpu=${ROTALINK_BENCH_GROUP_CPU:-1000}
strace_n=${ROTALINK_BENCH_GROUP_STRACE:-200}
cg=${ROTALINK_BENCH_GROUP_CALLGRIND:-20}
mixed_only=${ROTALINK_BENCH_GROUP_MIXED_ONLY:-0}
mkdir -p "$out"

for i in 2 3 4 5 6 7 8; do
    if ! ip link show "vcan$i" >/dev/null 2>&1; then
        ip link add dev "vcan$i" type vcan
        ip link set dev "vcan$i" mtu 72
        ip link set dev "vcan$i" up
    fi
done

pids=()
stop() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; }
trap stop EXIT
for i in 6 7; do
    rm -f "/tmp/group-cost-vcan$i.ready"
    "$responder" --motors 16 "vcan$i" 0x01 0x11 "/tmp/group-cost-vcan$i.ready" &
    pids+=($!)
done
for i in 6 7; do
    for _ in $(seq 100); do [ -e "/tmp/group-cost-vcan$i.ready" ] && break; sleep 0.1; done
    [ -e "/tmp/group-cost-vcan$i.ready" ] || { echo "responder on vcan$i did not start" >&2; exit 1; }
done

count() {  # MODE N: the system calls of 0 and of $strace_n cycles
    for k in 0 "$strace_n"; do
        strace -c -f -o "$out/strace.group.$1.$2.$k.txt" python3 benchmarks/group.py count "$1" "$2" "$k"
    done
}

if [ "$mixed_only" = 1 ]; then
    echo "-- every control mode in a cycle of 8 (mixed, control) beside the MIT-only cycle" \
         "(group): strace -c -f over 0 and $strace_n cycles"
    for m in group mixed control clamped; do count "$m" 8; done
    sizes=8
else
    echo "-- group pipelining: responders answering after $delay ms, $cycles group cycles and" \
         "$rounds rounds of single commands per (N, B)"
    python3 benchmarks/group.py pipeline --responder "$responder" --delay-ms "$delay" \
        --cycles "$cycles" --rounds "$rounds" --out "$out/group_pipeline.json"

    echo "-- the same with responders that answer at once: the cycle's own time"
    python3 benchmarks/group.py pipeline --responder "$responder" --delay-ms 0 \
        --cycles "$cycles" --rounds "$rounds" --out "$out/group_pipeline0.json"

    echo "-- group pipelining against rotalink-sim --delay-ms $delay"
    python3 benchmarks/group.py sim --delay-ms "$delay" --out "$out/group_sim.json"

    echo "-- group cost: CPU time per cycle, $cpu cycles per mode and N"
    python3 benchmarks/group.py cpu --cycles "$cpu" --out "$out/group_cpu.json"

    echo "-- group cost: strace -c -f over 0 and $strace_n cycles (and every control mode at N = 8)"
    for m in group single peer; do
        for n in 1 4 8 16; do count "$m" "$n"; done
    done
    for m in mixed control clamped; do count "$m" 8; done
    sizes=1,4,8,16
fi
echo "{\"n\": $strace_n}" > "$out/strace_group.json"

if [ "$cg" != 0 ]; then
    echo "-- group cost: callgrind over $cg cycles per mode and N (slow under emulation)"
    rm -f "$out"/callgrind.group.*
    valgrind --tool=callgrind --callgrind-out-file="$out/callgrind.group" \
        --dump-before='os_getppid*' "$(python3 -c 'import sys; print(sys.executable)')" \
        benchmarks/group.py marked "$cg" --sizes "$sizes" --out "$out/callgrind_group.json" \
        2> "$out/callgrind.group.log"
fi
echo "-- group done"
