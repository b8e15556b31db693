#!/usr/bin/env bash
# Installs what the build needs, builds vexil and the virtual Qx71 chip of the tests, and burns a
# sample firmware package into that chip over a pseudo-terminal: vexil shows its progress bar and
# verdict, then the chip reports what landed in its flash.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh >/dev/null
cmake -S . -B build
cmake --build build -j"$(nproc)" --target vexil qx71chip samplepkg

demo_dir=build/demo
package="$demo_dir/sample.fwpkg"
chip_log="$demo_dir/chip.log"
mkdir -p "$demo_dir"
./build/samplepkg "$package"

./build/qx71chip --expect "$package" --time-limit 120 >"$chip_log" 2>&1 &
chip_pid=$!
trap 'kill "$chip_pid" 2>/dev/null || true' EXIT

# The chip prints the port to burn through on its first line.
for _ in $(seq 1 100); do
    if [ "$(wc -l <"$chip_log")" -ge 1 ]; then
        break
    fi
    sleep 0.1
done
port=$(head -n 1 "$chip_log")
if [ -z "$port" ]; then
    echo "the virtual chip did not start" >&2
    exit 1
fi
echo "virtual Qx71 chip on $port"
echo

burn_status=0
./build/vexil write -c qx71 -p "$port" -b 921600 -f "$package" -r || burn_status=$?

# The chip ends once it has the reset frame or the port is closed; a tool that never talked to it
# leaves it waiting, so it gets a few seconds only.
for _ in $(seq 1 50); do
    kill -0 "$chip_pid" 2>/dev/null || break
    sleep 0.1
done
kill "$chip_pid" 2>/dev/null || true
chip_status=0
wait "$chip_pid" || chip_status=$?
trap - EXIT

echo
echo "The virtual chip's report:"
tail -n +2 "$chip_log"
if [ "$burn_status" -ne 0 ]; then
    exit "$burn_status"
fi
exit "$chip_status"
