# Sourced by the tests that show windows: start_virtual_screen WxHxD starts Xvfb on the first
# free display from :90, exports DISPLAY, sets XVFB_PID and waits (up to 10 s) until the server
# answers. The caller stops it (kill "$XVFB_PID") in its own clean-up.
start_virtual_screen() {
  local n=90
  while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
  Xvfb ":$n" -screen 0 "$1" -nolisten tcp >/dev/null 2>&1 &
  XVFB_PID=$!
  export DISPLAY=":$n"
  for _ in $(seq 100); do
    xdpyinfo >/dev/null 2>&1 && break
    sleep 0.1
  done
}
