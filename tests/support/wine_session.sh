#!/usr/bin/env bash
# Starts or stops the private Wine session the Win32 tests run in. The prefix lives in the
# build folder; the display driver is the null one, so nothing needs a screen.
set -eu
: "${WINEPREFIX:?}"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=d;mshtml=d"
case "$1" in
  start)
    if [ ! -f "$WINEPREFIX/.vostrel-ready" ]; then
      mkdir -p "$WINEPREFIX"
      wineboot -i >/dev/null 2>&1 </dev/null || true
      wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1 </dev/null
      wineserver -w
      touch "$WINEPREFIX/.vostrel-ready"
    fi
    # A persistent server keeps each test launch fast. Its output must not hold the test
    # runner's pipes open, or the run would wait for it forever.
    wineserver -p >/dev/null 2>&1 </dev/null &
    disown || true
    # Wine starts its service processes with the first program and keeps them as long as the
    # server lives. Started by a test, they would inherit that test's pipes and the runner would
    # wait for them forever; so they are started here, once, on /dev/null.
    timeout 120 wine cmd /c exit >/dev/null 2>&1 </dev/null || true
    echo "wine session ready in $WINEPREFIX"
    ;;
  stop)
    wineserver -k >/dev/null 2>&1 </dev/null || true
    echo "wine session stopped"
    ;;
  *) echo "usage: $0 start|stop" >&2; exit 2 ;;
esac
