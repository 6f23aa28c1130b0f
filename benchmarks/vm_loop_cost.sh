#!/usr/bin/env bash
# Runs inside the VM (benchmarks/vm_session.sh starts it when benchmarks/run
# is given --cpp): the instructions of a control loop's thread per cycle,
# the C++ face's (benchmarks/loop_cost.cpp) against the Python module's
# (benchmarks/loop_cost.py), each under callgrind with one output file per
# thread, against one responder for the motors on vcan0.
#
#   bash benchmarks/vm_loop_cost.sh RESULTS_DIR RESPONDER LOOP_COST
#
# Environment:
#   ROTALINK_BENCH_CPP_CYCLES  cycles per run (default 500)
#   ROTALINK_BENCH_CPP_RATE    the loops' rate in Hz (default 1000)
#   ROTALINK_BENCH_CPP_MOTORS  motors in the group (default 4)
#   ROTALINK_BENCH_CPP_ROUNDS  runs of each face, alternating (default 2)
set -euo pipefail
cd "$(dirname "$0")/.."
out=$1 responder=$2 loop_cost=$3
cycles=${ROTALINK_BENCH_CPP_CYCLES:-500}
rate=${ROTALINK_BENCH_CPP_RATE:-1000}
motors=${ROTALINK_BENCH_CPP_MOTORS:-4}
rounds=${ROTALINK_BENCH_CPP_ROUNDS:-2}
mkdir -p "$out"
rm -f "$out"/callgrind.loop.* "$out"/loop_cost.*.json

ready=/tmp/loop-cost-responder.ready
rm -f "$ready"
"$responder" --motors "$motors" vcan0 0x01 0x11 "$ready" &
pid=$!
trap 'kill $pid 2>/dev/null || true' EXIT
for _ in $(seq 100); do [ -e "$ready" ] && break; sleep 0.1; done
[ -e "$ready" ] || { echo "responder on vcan0 did not start" >&2; exit 1; }

python=$(python3 -c 'import sys; print(sys.executable)')
echo "-- control loop instructions per cycle: $motors motors, $rate Hz, $cycles cycles, $rounds rounds" \
     "(callgrind, one file per thread; slow under emulation)"
for r in $(seq "$rounds"); do
    for face in cpp python; do
        if [ "$face" = cpp ]; then cmd=("$loop_cost"); else cmd=("$python" benchmarks/loop_cost.py); fi
        valgrind --tool=callgrind --separate-threads=yes --callgrind-out-file="$out/callgrind.loop.$face.$r" \
            "${cmd[@]}" vcan0 "$motors" "$rate" "$cycles" > "$out/loop_cost.$face.$r.json" \
            2> "$out/callgrind.loop.$face.$r.log"
        echo "$face, round $r: $(cat "$out/loop_cost.$face.$r.json")"
    done
done
echo "{\"motors\": $motors, \"rate\": $rate, \"cycles\": $cycles, \"rounds\": $rounds}" > "$out/loop_cost.json"
