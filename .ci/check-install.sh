#!/usr/bin/env bash
# Installs the build given as the argument into a temporary prefix and runs vexil from there, away
# from the source tree: the version, the image table of a sample package, and a write whose set-up
# reads burn.config and the chip's property file before the (missing) port fails it with status 3.
set -euo pipefail
build_dir="$(cd "$1" && pwd)"
prefix="$(mktemp -d)"
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build_dir" --prefix "$prefix"
cd "$prefix"
bin/vexil -v
"$build_dir/samplepkg" sample.fwpkg
bin/vexil parse -f sample.fwpkg
status=0
bin/vexil write -c qx71 -p "$prefix/no-such-port" -f sample.fwpkg || status=$?
if [ "$status" -ne 3 ]; then
    echo "install check: the installed vexil's write ended with status $status, 3 expected" >&2
    exit 1
fi
echo "install check: passed"
