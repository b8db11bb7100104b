#!/usr/bin/env bash
# Sets up the machine, builds the native tools and serves the demo directory over HTTP on
# 127.0.0.1:8080 (or the ADDR:PORT given) until Ctrl+C. The demo is the one scripts/run.sh
# gives the Windows program (build/device/Directories/moskva-demo.zdb), made once.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
listen=${1:-127.0.0.1:8080}
bash scripts/setup.sh
bash scripts/build.sh native
directories=build/device/Directories
mkdir -p "$directories"
[ -f "$directories/moskva-demo.zdb" ] ||
  build/native/bench/vostrel-gen --records 10000 "$directories/moskva-demo.zdb" >/dev/null
echo "Serving $directories; try: curl -s http://$listen/api/databases"
exec build/native/src/vostrel-server --listen "$listen" --data "$directories"
