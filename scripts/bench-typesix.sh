#!/usr/bin/env bash
# Burns a 2 MiB application image with vexil into the virtual TypeSix chip, whose line takes the time
# of a real one at the given rate (10 bits per byte), and prints how close the burn came to the
# line's own limit: the line time of every byte both ways over the time the burn kept the line.
# Not a test: the figure depends on the machine's load. A burn within 5% of the line reads 95% or more.
#
#   scripts/bench-typesix.sh [line rate, default 921600]
set -euo pipefail
cd "$(dirname "$0")/.."
rate=${1:-921600}
cmake -S . -B build >/dev/null
cmake --build build -j3 --target vexil typesixchip samplepkg >/dev/null

bench_dir=build/bench-typesix
package="$bench_dir/bench.fwpkg"
chip_log="$bench_dir/chip.log"
rm -rf "$bench_dir"
mkdir -p "$bench_dir"
./build/samplepkg "$package" --typesix 2097152 >/dev/null

./build/typesixchip --expect "$package" --line-baud "$rate" --time-limit 300 >"$chip_log" 2>&1 &
chip_pid=$!
trap 'kill "$chip_pid" 2>/dev/null || true' EXIT
for _ in $(seq 1 100); do
    [ "$(wc -l <"$chip_log")" -ge 1 ] && break
    sleep 0.1
done
port=$(head -n 1 "$chip_log")
[ -n "$port" ] || { echo "the virtual chip did not start" >&2; exit 1; }

start=$(date +%s.%N)
burn_status=0
./build/vexil write -c typesix -p "$port" -f "$package" >"$bench_dir/vexil.log" 2>&1 || burn_status=$?
end=$(date +%s.%N)
chip_status=0
wait "$chip_pid" || chip_status=$?
trap - EXIT

tail -n +2 "$chip_log"
echo "vexil exit status $burn_status, whole command $(awk "BEGIN { printf \"%.1f\", $end - $start }") s"
line=$(grep -o 'efficiency [0-9.]*%' "$chip_log" || true)
echo "TypeSix write of 2 MiB at $rate baud: ${line:-no efficiency figure}"
[ "$burn_status" -eq 0 ] && [ "$chip_status" -eq 0 ]
