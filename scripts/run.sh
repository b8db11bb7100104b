#!/usr/bin/env bash
# Sets up the machine, builds, and runs Vostrel on the bundled demo directory.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh native
demo=build/demo
mkdir -p "$demo"
[ -f "$demo/moskva-demo.zdb" ] || build/native/bench/vostrel-gen --records 10000 "$demo/moskva-demo.zdb"
build/native/src/vostrel-cli info "$demo/moskva-demo.zdb"
echo
echo "Subscribers named PETROV* in the demo directory:"
build/native/src/vostrel-cli search "$demo/moskva-demo.zdb" "name=ПЕТРОВ" || true
