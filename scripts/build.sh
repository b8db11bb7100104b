#!/usr/bin/env bash
# Configures and builds the given presets (default: all three).
set -euo pipefail
cd "$(dirname "$0")/.."
presets=("$@")
[ ${#presets[@]} -eq 0 ] && presets=(native native-asan native-tsan win64)
for p in "${presets[@]}"; do
  cmake --preset "$p" >/dev/null
  cmake --build --preset "$p"
done
