#!/usr/bin/env bash
# Times pakwright against GNU tar on two generated trees; see bench/pakbench.py.
# Usage: bash bench/run.sh [--runs N] [--only small|large] [--dir DIR] [--cold | --both]
set -euo pipefail
cd "$(dirname "$0")/.."
for tool in tar /usr/bin/time python3 cmake; do
  command -v "$tool" >/dev/null || { echo "bench: needs $tool" >&2; exit 2; }
done
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DPAKWRIGHT_TESTS=OFF >/dev/null
cmake --build build-bench -j 2 >/dev/null
exec python3 bench/pakbench.py --pakwright build-bench/pakwright "$@"
