#!/usr/bin/env bash
# Installs what Vostrel needs to build and test on Debian 12. Idempotent and quiet:
# packages already present are left alone and apt is not even asked.
set -euo pipefail

PACKAGES=(
  cmake make g++ zlib1g-dev libisal-dev isal libgtest-dev googletest
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  libz-mingw-w64-dev
  wine wine64 fonts-wine
  xvfb xauth x11-utils imagemagick xdotool zip openbox
  clang clang-format libclang-rt-14-dev libtsan2
  dpkg-dev file desktop-file-utils lintian systemd strace curl
  nasm
  ripgrep
  pkg-config libcpp-httplib-dev nlohmann-json3-dev libicu-dev libssl-dev libcrypt-dev openssl wrk
  xdg-utils
  chromium chromium-driver python3-selenium nodejs
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  echo "Installing: ${missing[*]}" >&2
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq >/dev/null
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# ISA-L for the win64 build, built from Debian's source package (scripts/fetch_isal_windows.sh;
# nothing to do once it is built). Without it the win64 build inflates with zlib: slower, and
# otherwise the same program, so a failure here warns and set-up goes on.
if ! bash "$(dirname "$0")/fetch_isal_windows.sh"; then
  echo "WARNING: ISA-L for Windows could not be built (see above); the win64 build inflates with" \
    "zlib. Run scripts/setup.sh again once that is mended." >&2
fi

# npm for axe-core, the browser test's accessibility checker. Debian's nodejs needs Debian's npm;
# a nodejs that brings its own npm (and refuses Debian's) is left as it is.
if ! command -v npm >/dev/null 2>&1; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends npm >/dev/null
fi
# axe-core into the build's third-party folder, where tests/browser/page_test.py takes it from.
AXE_DIR="$(cd "$(dirname "$0")/.." && pwd)/build/third_party/axe"
if [ ! -f "$AXE_DIR/node_modules/axe-core/axe.min.js" ]; then
  if ! npm install --prefix "$AXE_DIR" --no-audit --no-fund --silent axe-core@4 >/dev/null; then
    echo "WARNING: axe-core could not be installed; the browser test (browser.page) will fail" \
      "until scripts/setup.sh installs it." >&2
  fi
fi
