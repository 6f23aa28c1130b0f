#!/usr/bin/env bash
# Runs inside the VM (benchmarks/vm_session.sh starts it when benchmarks/run
# is given --robot): the instructions of the calling thread per cycle of
# Python-side work, a Robot's loop (set with numpy vectors, state) against
# the motor level on its MotorGroup's loop (MitSetpoint objects, set, states
# read into numpy arrays), benchmarks/robot_cost.py under callgrind with one
# file per thread and one dump per measured stretch, against one responder
# for the motors on vcan0.
#
#   bash benchmarks/vm_robot_cost.sh RESULTS_DIR RESPONDER
#
# Environment:
#   ROTALINK_BENCH_ROBOT_CYCLES  cycles per way and round (default 200)
#   ROTALINK_BENCH_ROBOT_RATE    the loops' rate in Hz (default 500)
#   ROTALINK_BENCH_ROBOT_JOINTS  joints (default 12)
#   ROTALINK_BENCH_ROBOT_ROUNDS  rounds of both ways, alternating (default 2)
set -euo pipefail
cd "$(dirname "$0")/.."
out=$1 responder=$2
cycles=${ROTALINK_BENCH_ROBOT_CYCLES:-200}
rate=${ROTALINK_BENCH_ROBOT_RATE:-500}
joints=${ROTALINK_BENCH_ROBOT_JOINTS:-12}
rounds=${ROTALINK_BENCH_ROBOT_ROUNDS:-2}
mkdir -p "$out"
rm -f "$out"/callgrind.robot* "$out"/robot_cost.json

ready=/tmp/robot-cost-responder.ready
rm -f "$ready"
"$responder" --motors "$joints" vcan0 0x01 0x11 "$ready" &
pid=$!
trap 'kill $pid 2>/dev/null || true' EXIT
for _ in $(seq 100); do [ -e "$ready" ] && break; sleep 0.1; done
[ -e "$ready" ] || { echo "responder on vcan0 did not start" >&2; exit 1; }

echo "-- joint space against motor level: $joints joints, $rate Hz, $cycles cycles, $rounds rounds" \
     "(callgrind, the calling thread; slow under emulation)"
valgrind --tool=callgrind --separate-threads=yes --fair-sched=yes --dump-before='os_getppid*' \
    --callgrind-out-file="$out/callgrind.robot" \
    "$(python3 -c 'import sys; print(sys.executable)')" benchmarks/robot_cost.py marked \
    vcan0 "$joints" "$rate" "$cycles" "$rounds" --out "$out/robot_cost.json" \
    2> "$out/callgrind.robot.log"
echo "dumps: $(ls "$out"/callgrind.robot.*-01 | wc -l) (the calling thread's)"
