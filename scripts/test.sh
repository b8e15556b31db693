#!/usr/bin/env bash
# Installs what the build needs, builds vexil and its tests in build/, and runs every test.
# Arguments are passed to cmake's configure step (CI: -DCMAKE_BUILD_TYPE=Release -DVEXIL_WERROR=ON).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build "$@"
cmake --build build -j"$(nproc)"
ctest --test-dir build --output-on-failure -j"$(nproc)"
