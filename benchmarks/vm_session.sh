#!/usr/bin/env bash
# Runs inside the VM (benchmarks/run starts it through tests/vm/run): the
# round trip benchmark and the system call counts, against two responders.
#
#   bash benchmarks/vm_session.sh RESULTS_DIR RESPONDER N STRACE_N
#
# ROTALINK_BENCH_CALLGRIND=K also counts the calling process's instructions
# per command over K commands per driver with callgrind (tens of minutes
# under software emulation). ROTALINK_BENCH_ROUNDTRIP=0 leaves all of this
# out; ROTALINK_BENCH_GROUP=1 then runs the MotorGroup benchmarks
# (benchmarks/vm_group.sh), and ROTALINK_BENCH_LOOP=1 the control loop's
# (benchmarks/loop.py on vcan0: ROTALINK_BENCH_LOOP_SECONDS per run, default
# 20; ROTALINK_BENCH_LOOP_RATE, default 500 Hz; ROTALINK_BENCH_LOOP_PRIORITY,
# default 50, adds a run at that SCHED_FIFO priority, 0 leaves it out), and
# ROTALINK_BENCH_CPP=1 the instructions per cycle of a control loop's thread
# in both faces (benchmarks/vm_loop_cost.sh, with the C++ program at
# ROTALINK_BENCH_LOOP_COST), and ROTALINK_BENCH_ROBOT=1 the instructions per
# cycle of a Robot's loop against the motor level (benchmarks/vm_robot_cost.sh),
# and ROTALINK_BENCH_RECORD=1 what recording costs the native loop
# (benchmarks/loop.py --record-cost, ROTALINK_BENCH_RECORD_ROUNDS rounds, default 3,
# of ROTALINK_BENCH_RECORD_VARIANTS, default plain,record).
set -euo pipefail
cd "$(dirname "$0")/.."
out=$1 responder=$2 n=$3 strace_n=$4
mkdir -p "$out"

echo "-- clock source: $(cat /sys/devices/system/clocksource/clocksource0/current_clocksource)," \
     "$(nproc) CPUs, $(uname -r)"
control_loop() {
    local prio=()
    [ "${ROTALINK_BENCH_LOOP_PRIORITY:-50}" = 0 ] || prio=(--priority "${ROTALINK_BENCH_LOOP_PRIORITY:-50}")
    echo "-- control loop: Python thread against the native loop, under a collecting workload"
    python3 benchmarks/loop.py --responder "$responder" --out "$out/loop.json" \
        --seconds "${ROTALINK_BENCH_LOOP_SECONDS:-20}" --rate "${ROTALINK_BENCH_LOOP_RATE:-500}" \
        --idle "${prio[@]}"
}
record_cost() {
    echo "-- control loop: the native loop without and with recording, alternating"
    python3 benchmarks/loop.py --record-cost --responder "$responder" --out "$out/record_cost.json" \
        --seconds "${ROTALINK_BENCH_LOOP_SECONDS:-20}" --rate "${ROTALINK_BENCH_LOOP_RATE:-500}" \
        --rounds "${ROTALINK_BENCH_RECORD_ROUNDS:-3}" --variants "${ROTALINK_BENCH_RECORD_VARIANTS:-plain,record}" \
        ${ROTALINK_BENCH_RECORD_CPUS:+--cpus "$ROTALINK_BENCH_RECORD_CPUS"}
}
if [ "${ROTALINK_BENCH_ROUNDTRIP:-1}" = 0 ]; then
    [ "${ROTALINK_BENCH_GROUP:-0}" = 0 ] || bash benchmarks/vm_group.sh "$out" "$responder"
    [ "${ROTALINK_BENCH_LOOP:-0}" = 0 ] || control_loop
    [ "${ROTALINK_BENCH_RECORD:-0}" = 0 ] || record_cost
    [ "${ROTALINK_BENCH_CPP:-0}" = 0 ] || bash benchmarks/vm_loop_cost.sh "$out" "$responder" "$ROTALINK_BENCH_LOOP_COST"
    [ "${ROTALINK_BENCH_ROBOT:-0}" = 0 ] || bash benchmarks/vm_robot_cost.sh "$out" "$responder"
    echo "-- done"
    exit 0
fi

pids=()
stop() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; }
trap stop EXIT
for i in 0 1; do
    rm -f "/tmp/responder-vcan$i.ready"
    "$responder" "vcan$i" 0x01 0x11 "/tmp/responder-vcan$i.ready" &
    pids+=($!)
done
for i in 0 1; do
    for _ in $(seq 100); do [ -e "/tmp/responder-vcan$i.ready" ] && break; sleep 0.1; done
    [ -e "/tmp/responder-vcan$i.ready" ] || { echo "responder on vcan$i did not start" >&2; exit 1; }
done

echo "-- round trip, $n commands per driver"
python3 benchmarks/roundtrip.py --out "$out/roundtrip.json" --n "$n"

echo "-- system calls: strace -c -f over 0 and $strace_n commands"
for d in rotalink peer; do
    for k in 0 "$strace_n"; do
        strace -c -f -o "$out/strace.$d.$k.txt" python3 benchmarks/roundtrip.py --count "$d" "$k"
    done
done
if [ "${ROTALINK_BENCH_CALLGRIND:-0}" != 0 ]; then
    k=$ROTALINK_BENCH_CALLGRIND
    echo "-- callgrind over $k commands per driver (slow under emulation)"
    rm -f "$out"/callgrind.command.*
    valgrind --tool=callgrind --callgrind-out-file="$out/callgrind.command" \
        --dump-before='os_getppid*' "$(python3 -c 'import sys; print(sys.executable)')" \
        benchmarks/roundtrip.py --marked "$k" 2> "$out/callgrind.command.log"
    echo "{\"n\": $k}" > "$out/callgrind_command.json"
fi
stop
pids=()
[ "${ROTALINK_BENCH_GROUP:-0}" = 0 ] || bash benchmarks/vm_group.sh "$out" "$responder"
[ "${ROTALINK_BENCH_LOOP:-0}" = 0 ] || control_loop
[ "${ROTALINK_BENCH_RECORD:-0}" = 0 ] || record_cost
[ "${ROTALINK_BENCH_CPP:-0}" = 0 ] || bash benchmarks/vm_loop_cost.sh "$out" "$responder" "$ROTALINK_BENCH_LOOP_COST"
[ "${ROTALINK_BENCH_ROBOT:-0}" = 0 ] || bash benchmarks/vm_robot_cost.sh "$out" "$responder"
echo "-- done"
