#!/usr/bin/env bash
# Installs what the build needs, builds vexil and shows it at work.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build
cmake --build build -j"$(nproc)" --target vexil
./build/vexil -h
