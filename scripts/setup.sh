#!/usr/bin/env bash
# Installs what Vostrel needs to build and test on Debian 12. Idempotent and quiet:
# packages already present are left alone and apt is not even asked.
set -euo pipefail

PACKAGES=(
  cmake make g++ zlib1g-dev libisal-dev isal libgtest-dev googletest
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  libz-mingw-w64-dev
  wine wine64 fonts-wine
  xvfb xauth x11-utils imagemagick xdotool zip
  clang clang-format libclang-rt-14-dev
  dpkg-dev file desktop-file-utils lintian
  ripgrep
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
