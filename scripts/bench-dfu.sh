#!/usr/bin/env bash
# Times a generic DFU write of 1 MiB by vexil and by Debian's dfu-util into the same virtual DFU
# device (the build's usbbench: real libusb under umockdev), for transfer sizes 1024 and 4096 and poll
# time-outs of 1 ms and 20 ms, checks that both downloads arrived whole, and prints the time ratio.
#   scripts/bench-dfu.sh [build-dir]    (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir="${1:-build}"
bench="$build_dir/usbbench"
vexil="$build_dir/vexil"
for program in "$bench" "$vexil"; do
    [ -x "$program" ] || { echo "error: $program is not built" >&2; exit 1; }
done
command -v dfu-util > /dev/null || { echo "error: dfu-util is not installed" >&2; exit 1; }

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
head -c 1048576 /dev/urandom > "$work/app.bin"

# Seconds the command took; the download the device manifested must equal the image.
timed_write() {
    local transfer="$1" poll="$2"
    shift 2
    rm -f "$work/arrived.bin"
    local start end
    start=$(date +%s.%N)
    "$bench" --dfu 0483:df11 --transfer-size "$transfer" --poll-ms "$poll" --save-download "$work/arrived.bin" \
        --report-polls -- "$@" > "$work/output.txt" 2>&1 ||
        { cat "$work/output.txt" >&2; echo "error: $1 failed" >&2; exit 1; }
    end=$(date +%s.%N)
    cmp -s "$work/app.bin" "$work/arrived.bin" || { echo "error: $1 did not deliver the image whole" >&2; exit 1; }
    grep -q "usbbench: 0 status requests came before" "$work/output.txt" ||
        echo "warning: $1 asked for the status before the poll time-out had passed" >&2
    awk -v s="$start" -v e="$end" 'BEGIN { printf "%.3f", e - s }'
}

printf '%-14s %-10s %10s %10s %8s\n' "transfer size" "poll (ms)" "vexil (s)" "dfu-util" "ratio"
for transfer in 1024 4096; do
    for poll in 1 20; do
        vexil_s=$(timed_write "$transfer" "$poll" "$vexil" write -c tn48 -d 0483:df11 -f "$work/app.bin")
        dfu_util_s=$(timed_write "$transfer" "$poll" dfu-util -d 0483:df11 -D "$work/app.bin")
        ratio=$(awk -v v="$vexil_s" -v d="$dfu_util_s" 'BEGIN { printf "%.2f", v / d }')
        printf '%-14s %-10s %10s %10s %8s\n' "$transfer" "$poll" "$vexil_s" "$dfu_util_s" "$ratio"
    done
done
echo "ratio = vexil time / dfu-util time (1.00 or less: vexil is no slower)"
