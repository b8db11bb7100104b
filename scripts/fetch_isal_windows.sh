#!/usr/bin/env bash
# Builds ISA-L for the win64 build: Debian's own source package of the library that the native
# build links (libisal-dev), fetched with apt-get source and built as a static library with
# mingw-w64 and nasm. The result lands in build/third_party/isa-l-mingw (or $1):
#   include/isa-l/*.h   the headers, where the reader's #include <isa-l/igzip_lib.h> finds them
#   lib/libisal.a       the library
#   LICENSE             ISA-L's licence, which the Windows zip carries
# Nothing of it is part of the repository. When that folder is there, this does nothing.
#
# The machine's apt sources may have no source entries: then each of the machine's own binary
# entries is written again as a source entry, into /etc/apt/sources.list.d/vostrel-deb-src.sources
# (deb822 stanzas) and vostrel-deb-src.list (one-line entries), whatever mirrors the machine
# uses; the repository names none.
#
# Exits non-zero, having said why, when anything fails; scripts/setup.sh then warns and the
# win64 build inflates with zlib.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
PREFIX=${1:-$ROOT/build/third_party/isa-l-mingw}
[ -f "$PREFIX/lib/libisal.a" ] && [ -f "$PREFIX/include/isa-l/igzip_lib.h" ] && [ -f "$PREFIX/LICENSE" ] && exit 0

say() { echo "fetch_isal_windows: $*" >&2; }
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
BINARY=libisal-dev
SOURCES_FILE=/etc/apt/sources.list.d/vostrel-deb-src.sources
LIST_FILE=/etc/apt/sources.list.d/vostrel-deb-src.list

for tool in apt-get apt-cache dpkg-source nasm x86_64-w64-mingw32-gcc x86_64-w64-mingw32-ar make; do
  command -v "$tool" >/dev/null || { say "needs $tool (scripts/setup.sh installs it)"; exit 1; }
done

# The source package that builds the binary, when apt knows one.
source_name() {
  apt-cache showsrc "$BINARY" 2>/dev/null | sed -n 's/^Package: //p' | head -1
  return 0
}

# The machine's deb822 stanzas of binary entries as source entries (their Types set to deb-src);
# disabled stanzas and comments are left out.
derive_deb822_entries() {
  local f
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] && [ "$f" != "$SOURCES_FILE" ] || continue
    awk '
      function flush() {
        if (n > 0 && binary && !disabled) {
          for (i = 1; i <= n; i++) print lines[i]
          print ""
        }
        n = 0; binary = 0; disabled = 0
      }
      /^[ \t]*#/ { next }
      /^[ \t]*$/ { flush(); next }
      /^Types:/ {
        if ($0 ~ /[ \t]deb([ \t]|$)/) binary = 1
        lines[++n] = "Types: deb-src"
        next
      }
      /^Enabled:[ \t]*[Nn][Oo]/ { disabled = 1 }
      { lines[++n] = $0 }
      END { flush() }
    ' "$f"
  done
}

# The machine's one-line binary entries as source entries: deb-src in front of the same line.
derive_one_line_entries() {
  local f
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] && [ "$f" != "$LIST_FILE" ] || continue
    sed -n 's/^[ \t]*deb[ \t]\+/deb-src /p' "$f"
  done
}

export DEBIAN_FRONTEND=noninteractive
name=$(source_name || true)
if [ -z "$name" ]; then
  deb822=$(derive_deb822_entries)
  one_line=$(derive_one_line_entries)
  if [ -z "$deb822$one_line" ]; then
    say "the machine's apt sources have no binary entries to take source entries from"
    exit 1
  fi
  note="# Written by Vostrel's scripts/fetch_isal_windows.sh: this machine's binary entries as
# source entries, for apt-get source."
  for pair in "$SOURCES_FILE:$deb822" "$LIST_FILE:$one_line"; do
    file=${pair%%:*} text=${pair#*:}
    [ -n "$text" ] || continue
    printf '%s\n\n%s\n' "$note" "$text" | $SUDO tee "$file" >/dev/null || {
      say "could not write $file"
      exit 1
    }
  done
  $SUDO apt-get update -qq >/dev/null 2>&1 || say "apt-get update reported errors; trying on"
  name=$(source_name || true)
  if [ -z "$name" ]; then
    say "apt knows no source package of $BINARY (no network, or the mirror has no sources)"
    exit 1
  fi
fi

SRC=$ROOT/build/third_party/src
rm -rf "$SRC"
mkdir -p "$SRC"
# apt-get source unpacks into the current folder; as root it cannot drop to its sandbox user
# for the download, which it says at length: harmless here.
if ! (cd "$SRC" && apt-get source -qq "$BINARY" >"$SRC/fetch.log" 2>&1); then
  say "apt-get source $BINARY failed:"
  tail -n 5 "$SRC/fetch.log" >&2
  exit 1
fi
TREE=$(find "$SRC" -mindepth 2 -maxdepth 2 -name Makefile.unx -printf '%h\n' | head -1)
if [ -z "$TREE" ] || [ ! -f "$TREE/include/igzip_lib.h" ]; then
  say "the source package $name has no Makefile.unx and include/igzip_lib.h"
  exit 1
fi

# Makefile.unx's arch=mingw: nasm writes win64 objects, the compiler and ar are mingw-w64's.
if ! make -C "$TREE" -f Makefile.unx -j2 arch=mingw AS=nasm CC=x86_64-w64-mingw32-gcc \
  AR=x86_64-w64-mingw32-ar lib >"$SRC/build.log" 2>&1; then
  say "building $name for Windows failed:"
  tail -n 15 "$SRC/build.log" >&2
  exit 1
fi
LIB=$(find "$TREE/bin" -maxdepth 1 -name '*.a' | head -1)
[ -n "$LIB" ] || { say "the build of $name left no static library in bin/"; exit 1; }

# Laid out in a folder beside the final one, then moved in: a half-finished one is never taken
# for the library.
STAGE=$PREFIX.partial
rm -rf "$STAGE"
mkdir -p "$STAGE/include/isa-l" "$STAGE/lib"
cp "$TREE"/include/*.h "$STAGE/include/isa-l/"
cp "$LIB" "$STAGE/lib/libisal.a"
cp "$TREE/LICENSE" "$STAGE/LICENSE"
version=$(cd "$TREE" && dpkg-parsechangelog -S Version 2>/dev/null || true)
echo "$name ${version:-unknown}" >"$STAGE/VERSION"
rm -rf "$PREFIX"
mv "$STAGE" "$PREFIX"
echo "ISA-L for Windows: $name ${version:-} built into $PREFIX" >&2
