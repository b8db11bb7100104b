#!/usr/bin/env bash
# The packages as a user gets them: the Debian package built from the install rules, installed
# into a scratch root and started there as a new user would (on a virtual screen), and the
# Windows zip.
#
#   bash tests/package/package_test.sh [NATIVE_BUILD] [WIN64_BUILD]   (default build/native,
#                                                                       build/win64)
# Both builds must be configured and built (scripts/build.sh native win64).
set -uo pipefail
cd "$(dirname "$0")/../.."
ROOT_DIR=$(pwd)
NATIVE=$(readlink -f "${1:-build/native}")
WIN=$(readlink -f "${2:-build/win64}")
WORK=$(mktemp -d "${TMPDIR:-/tmp}/vostrel-package.XXXXXX")
TITLE='^Vostrel/Corvinet v2\.04$'
FAILURES=0
XVFB_PID=
LAUNCHER_PID=
SERVER_PID=
BROWSER_PID=
STRACE_PID=
USER_DATA=

fail() {
  echo "FAIL: $*" >&2
  FAILURES=$((FAILURES + 1))
}
pass() { echo "ok: $*"; }

clean_up() {
  [ -z "$SERVER_PID" ] || kill "$SERVER_PID" 2>/dev/null
  [ -z "$STRACE_PID" ] || wait "$STRACE_PID" 2>/dev/null
  [ -z "$BROWSER_PID" ] || kill "$BROWSER_PID" 2>/dev/null
  if [ -n "$LAUNCHER_PID" ] && kill -0 "$LAUNCHER_PID" 2>/dev/null; then
    WINEPREFIX=$USER_DATA/vostrel/wineprefix wineserver -k >/dev/null 2>&1
    kill "$LAUNCHER_PID" 2>/dev/null
    wait "$LAUNCHER_PID" 2>/dev/null
  fi
  [ -d "${USER_DATA:-}/vostrel/wineprefix" ] &&
    WINEPREFIX=$USER_DATA/vostrel/wineprefix wineserver -k >/dev/null 2>&1
  if [ -n "$XVFB_PID" ]; then
    kill "$XVFB_PID" 2>/dev/null
    wait "$XVFB_PID" 2>/dev/null
  fi
  rm -rf "$WORK"
}
trap clean_up EXIT

# ---- Build the Debian package and the zip ----
# The native build installs the vostrel.exe of the win64 build it is tested with.
build() {
  "$@" >"$WORK/build.log" 2>&1 || { cat "$WORK/build.log" >&2; exit 1; }
}
build cmake -B "$NATIVE" -DVOSTREL_WINDOWS_PROGRAM="$WIN/src/vostrel.exe"
build cmake --build "$NATIVE" --target vostrel-cli vostrel-gen vostrel-server linux_install_files
build cmake --build "$WIN" --target vostrel vostrel-cli vostrel-gen package_zip
if ! cpack --config "$NATIVE/CPackConfig.cmake" -B "$WORK/deb" >"$WORK/cpack.log" 2>&1; then
  cat "$WORK/cpack.log" >&2
  exit 1
fi
DEB=$(ls "$WORK"/deb/vostrel_*.deb 2>/dev/null | head -1)
[ -n "$DEB" ] || { echo "cpack wrote no .deb" >&2; exit 1; }
echo "built $(basename "$DEB") and vostrel-win64.zip"

# ---- The Debian package's contents and metadata ----
expected_files="./etc/vostrel/server.conf
./lib/systemd/system/vostrel-server.service
./usr/bin/vostrel
./usr/bin/vostrel-cli
./usr/bin/vostrel-gen
./usr/bin/vostrel-server
./usr/share/applications/vostrel-browser.desktop
./usr/share/applications/vostrel.desktop
./usr/share/doc/vostrel/changelog.Debian.gz
./usr/share/doc/vostrel/copyright
./usr/share/icons/hicolor/128x128/apps/vostrel.png
./usr/share/icons/hicolor/16x16/apps/vostrel.png
./usr/share/icons/hicolor/256x256/apps/vostrel.png
./usr/share/icons/hicolor/32x32/apps/vostrel.png
./usr/share/icons/hicolor/48x48/apps/vostrel.png
./usr/share/icons/hicolor/64x64/apps/vostrel.png
./usr/share/lintian/overrides/vostrel
./usr/share/man/man1/vostrel-cli.1.gz
./usr/share/man/man1/vostrel-gen.1.gz
./usr/share/man/man1/vostrel-server.1.gz
./usr/share/man/man1/vostrel.1.gz
./usr/share/vostrel/demo/moskva-demo.zdb
./usr/share/vostrel/vostrel.exe
./usr/share/vostrel/vostrel.lng"
listing=$(dpkg-deb -c "$DEB")
actual_files=$(awk '$1 !~ /^d/ {print $6}' <<<"$listing" | sort)
if [ "$actual_files" = "$expected_files" ]; then
  pass "package file list"
else
  fail "package file list differs:"
  diff <(echo "$expected_files") <(echo "$actual_files") >&2
fi
# The commands are executable, everything belongs to root.
for cmd in vostrel vostrel-cli vostrel-gen vostrel-server; do
  grep -Eq "^-rwxr-xr-x root/root .* \./usr/bin/$cmd\$" <<<"$listing" || fail "usr/bin/$cmd is not an executable owned by root"
done

# Depends: Wine (64-bit) and its Tahoma, flock for the launcher's lock, plus the libraries of
# the native tools (ISA-L inflates for them; the server's HTTP, ICU, OpenSSL's digests and
# crypt's password hashes), nothing else.
depends=$(dpkg-deb -f "$DEB" Depends)
names=$(tr ',' '\n' <<<"$depends" | sed 's/^ *//; s/[ (].*//' | sort -u)
for needed in wine wine64 fonts-wine util-linux libc6 libstdc++6 zlib1g libisal2 libcpp-httplib0.11 libicu72 libssl3 libcrypt1; do
  grep -qx "$needed" <<<"$names" || fail "Depends lacks $needed: $depends"
done
extra=$(grep -vxE 'wine|wine64|fonts-wine|util-linux|libc6|libgcc-s1|libstdc\+\+6|zlib1g|libisal2|libcpp-httplib[0-9.]*|libicu[0-9]*|libssl3|libcrypt1' <<<"$names")
[ -z "$extra" ] || fail "Depends declares what the package does not use: $extra"
[ "$(dpkg-deb -f "$DEB" Architecture)" = "$(dpkg --print-architecture)" ] || fail "Architecture"
pass "Depends: $depends"
[ "$(dpkg-deb -f "$DEB" Recommends)" = "zenity, xdg-utils" ] ||
  fail "Recommends: zenity (the first start's notice), xdg-utils (xdg-open for --browser)"

ROOT=$WORK/root
dpkg-deb -x "$DEB" "$ROOT" || exit 1
DESKTOP=$ROOT/usr/share/applications/vostrel.desktop
if command -v desktop-file-validate >/dev/null; then
  if out=$(desktop-file-validate "$DESKTOP" "${DESKTOP%.desktop}-browser.desktop" 2>&1) && [ -z "$out" ]; then
    pass "desktop-file-validate"
  else
    fail "desktop-file-validate: $out"
  fi
else
  echo "desktop-file-validate not installed: desktop entry checked by this script only"
fi
exec_cmd=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$DESKTOP")
icon=$(sed -n 's/^Icon=//p' "$DESKTOP")
[ "$exec_cmd" = vostrel ] && [ -x "$ROOT/usr/bin/$exec_cmd" ] || fail "desktop entry runs '$exec_cmd', not the launcher"
grep -qx 'Exec=vostrel --browser' "${DESKTOP%.desktop}-browser.desktop" || fail "the browser's desktop entry does not run vostrel --browser"
grep -qx 'Terminal=false' "$DESKTOP" || fail "desktop entry opens a terminal"
# Each icon is a PNG of the size its folder names (IHDR width and height, big-endian).
for png in "$ROOT"/usr/share/icons/hicolor/*/apps/"$icon".png; do
  size=$(basename "$(dirname "$(dirname "$png")")")
  n=${size%%x*}
  header=$(od -An -tx1 -N24 "$png" | tr -d ' \n')
  want=$(printf '89504e470d0a1a0a0000000d49484452%08x%08x' "$n" "$n")
  [ "$header" = "$want" ] || fail "icon $size is not a $n x $n PNG"
done
pass "desktop entry: Exec=$exec_cmd Icon=$icon"

# ---- Debian's conventions ----
VERSION=$(dpkg-deb -f "$DEB" Version)
UPSTREAM=${VERSION%-*}
# A file compressed as Debian asks (gzip -9n): the header holds no name and no time stamp, so
# the same text always makes the same bytes. Bytes 1-10: magic, deflate, no flags, mtime 0,
# "maximum compression", Unix.
gzip_is_reproducible() {
  [ "$(od -An -tx1 -N10 "$1" | tr -d ' \n')" = 1f8b0800000000000203 ] && gzip -t "$1" 2>/dev/null
}

# Every command answers --version with one line, its name and the package's version, and
# exit code 0.
for cmd in vostrel vostrel-cli vostrel-gen vostrel-server; do
  out=$("$ROOT/usr/bin/$cmd" --version 2>"$WORK/version.err")
  status=$?
  if [ "$status" -eq 0 ] && [ "$out" = "$cmd $UPSTREAM" ] && [ ! -s "$WORK/version.err" ]; then
    pass "$cmd --version: $out"
  else
    fail "$cmd --version: exit code $status, \"$out\" (expected \"$cmd $UPSTREAM\"), stderr: $(cat "$WORK/version.err")"
  fi
done

# The manual pages: a page of each command with the sections a manual page has, compressed
# reproducibly, without a warning from man, every line of it within 80 columns, the package's
# version in its title line, and every option that its command's help shows named in the page
# too (so a new option cannot reach --help alone). Each row: the command and its help
# invocations.
while IFS='|' read -r cmd helps; do
  page=$ROOT/usr/share/man/man1/$cmd.1.gz
  failures_before=$FAILURES
  gzip_is_reproducible "$page" || fail "$cmd.1.gz is not compressed with gzip -9n"
  source=$(gzip -dc "$page" 2>/dev/null)
  title=$(grep -m1 '^\.TH ' <<<"$source")
  th_name=${cmd^^}
  [[ $title == ".TH ${th_name//-/\\-} 1 "*"\"Vostrel $UPSTREAM\""* ]] ||
    fail "$cmd.1: title line '$title' does not name ${cmd^^}(1) of Vostrel $UPSTREAM"
  for section in NAME SYNOPSIS DESCRIPTION OPTIONS FILES 'EXIT STATUS' EXAMPLES; do
    grep -Eqx "\\.SH \"?$section\"?" <<<"$source" || fail "$cmd.1 has no section $section"
  done
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "$cmd.1: man warns: $warnings"
  text=$(LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$page" 2>/dev/null)
  [ -n "$text" ] || fail "$cmd.1 does not render"
  wide=$(LC_ALL=C.UTF-8 grep -E '^.{81}' <<<"$text"$'\n'"$source")
  [ -z "$wide" ] || fail "$cmd.1 has lines over 80 columns: $wide"
  IFS=';' read -ra invocations <<<"$helps"
  for invocation in "${invocations[@]}"; do
    # shellcheck disable=SC2086 # the invocation's words
    for option in $("$ROOT/usr/bin/$cmd" $invocation 2>/dev/null | grep -o -- '--[a-z][a-z-]*' | sort -u); do
      grep -q -- "$option\\b" <<<"$text" || fail "$cmd.1 does not name $option (in '$cmd $invocation')"
    done
  done
  [ "$FAILURES" -ne "$failures_before" ] || pass "manual page $cmd.1"
done <<'PAGES'
vostrel|--help
vostrel-cli|--help;info --help;search --help;make --help
vostrel-gen|--help
vostrel-server|--help
PAGES

# The copyright file is in Debian's machine-readable format, and the project's own paragraph
# gives the MIT licence (Debian's name: Expat) with the very text of LICENSE.
COPYRIGHT=$ROOT/usr/share/doc/vostrel/copyright
project_paragraph=$(awk '/^Files: \*$/ {p = 1} p && /^$/ {exit} p' "$COPYRIGHT")
# The stand-alone paragraph "License: Expat" holds the text, one space in, " ." for a blank line.
expat_text=$(awk -v RS= '/^License: Expat\n/' "$COPYRIGHT" | tail -n +2 | sed 's/^ //; s/^\.$//')
licence_text=$(sed '1,/^Copyright /d' "$ROOT_DIR/LICENSE" | sed '/./,$!d')
if [ "$(head -1 "$COPYRIGHT")" = "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/" ] &&
  grep -qx 'Copyright: [0-9-]* *The Vostrel developers' <<<"$project_paragraph" &&
  grep -qx 'License: Expat' <<<"$project_paragraph" &&
  [ -n "$expat_text" ] && [ "$expat_text" = "$licence_text" ] &&
  grep -q 'The Vostrel developers' "$ROOT_DIR/LICENSE"; then
  pass "copyright: machine-readable, Expat as in LICENSE"
else
  fail "copyright: not the machine-readable format with the project's Expat paragraph and LICENSE's text"
fi

# The changelog: Debian's format, compressed reproducibly, its latest entry the package's
# version.
CHANGELOG=$ROOT/usr/share/doc/vostrel/changelog.Debian.gz
changelog_version=$(gzip -dc "$CHANGELOG" 2>/dev/null | dpkg-parsechangelog -l - -S Version 2>/dev/null)
if gzip_is_reproducible "$CHANGELOG" && [ "$changelog_version" = "$VERSION" ]; then
  pass "changelog.Debian.gz: gzip -9n, latest entry $changelog_version"
else
  fail "changelog.Debian.gz: latest entry '$changelog_version' (package $VERSION), or not gzip -9n"
fi

# The description: the synopsis once, on the Description line, and the extended text below it
# in lines of at most 80 columns, none of them the reserved " .text".
description=$(dpkg-deb -f "$DEB" Description)
synopsis=$(head -1 <<<"$description")
extended=$(tail -n +2 <<<"$description")
if [ -n "$synopsis" ] && [ "${#synopsis}" -le 80 ] && [ -n "$extended" ] &&
  ! grep -qiF -- "$synopsis" <<<"$extended" &&
  ! LC_ALL=C.UTF-8 grep -Ev '^ [^ .]|^ \.$' <<<"$extended" | grep -q . &&
  ! LC_ALL=C.UTF-8 grep -Eq '^.{81}' <<<"$extended"; then
  pass "description: \"$synopsis\" and $(wc -l <<<"$extended") lines"
else
  fail "description: the synopsis repeated, or lines over 80 columns or not as the policy wraps them: $description"
fi

# lintian: no error and no warning; the tags the package has on purpose are overridden in its
# override file, each with the reason, and every override matches a tag (lintian names one
# that does not). The informational tags left are shown.
if command -v lintian >/dev/null; then
  lintian_out=$(lintian -I --show-overrides "$DEB" 2>&1 | grep -v '^running with root privileges')
  problems=$(grep -E '^[EW]: |unused-override|mismatched-override' <<<"$lintian_out")
  overridden=$(grep -c '^O: ' <<<"$lintian_out")
  if [ -z "$problems" ] && [ "$overridden" = "$(grep -c '^vostrel: ' "$ROOT/usr/share/lintian/overrides/vostrel")" ]; then
    pass "lintian: no error or warning, $overridden tag(s) overridden"
    grep '^I: ' <<<"$lintian_out" | sed 's/^/  lintian info: /'
  else
    fail "lintian: $lintian_out"
  fi
else
  fail "lintian is not installed (scripts/setup.sh installs it)"
fi

# The installed tools run, and the demo directory is a database of the promised size.
records=$("$ROOT/usr/bin/vostrel-cli" info --json "$ROOT/usr/share/vostrel/demo/moskva-demo.zdb" |
  sed -n 's/.*"recordCount": *\([0-9]*\).*/\1/p')
[ "$records" = 10000 ] || fail "installed vostrel-cli reads $records records from the demo, not 10000"
cmp -s "$ROOT/usr/share/vostrel/vostrel.exe" "$WIN/src/vostrel.exe" || fail "package holds another vostrel.exe"

# ---- The server's system service ----
UNIT=$ROOT/lib/systemd/system/vostrel-server.service
CONF=$ROOT/etc/vostrel/server.conf
[ "$(dpkg-deb -I "$DEB" conffiles 2>/dev/null)" = /etc/vostrel/server.conf ] ||
  fail "conffiles: /etc/vostrel/server.conf is not the package's one conffile"
# The unit as systemd reads it, with no warning (an unknown or misspelt key is one), its
# command and manual page those of the unpacked package; and its sandbox: an exposure of at
# most 2.0, "OK".
mkdir -p "$WORK/unit"
sed "s|=/usr/bin/|=$ROOT/usr/bin/|" "$UNIT" >"$WORK/unit/vostrel-server.service"
if out=$(MANPATH=$ROOT/usr/share/man systemd-analyze verify "$WORK/unit/vostrel-server.service" 2>&1) &&
  [ -z "$out" ]; then
  pass "systemd-analyze verify vostrel-server.service"
else
  fail "systemd-analyze verify: $out"
fi
exposure=$(systemd-analyze security --offline=yes "$UNIT" 2>&1 |
  sed -n 's/.*Overall exposure level for vostrel-server.service: \([0-9.]*\) \([A-Z]*\).*/\1 \2/p')
if [ -n "$exposure" ] && awk -v e="${exposure% *}" 'BEGIN {exit !(e <= 2.0)}'; then
  pass "systemd-analyze security: exposure $exposure"
else
  fail "systemd-analyze security: exposure '$exposure', more than 2.0"
fi

# The maintainer scripts in the unpacked root (DPKG_ROOT), with deb-systemd-helper and
# -invoke recording what they are asked: the install makes the databases folder with the demo
# in it; an upgrade keeps what the administrator changed there; purge removes the demo link
# and the folders only while nothing else is in them.
MSTUBS=$WORK/maint-stub-bin
mkdir -p "$MSTUBS" "$WORK/control"
dpkg-deb -e "$DEB" "$WORK/control"
# As on a new install: the unit was never installed before ("debian-installed" is false),
# and "was-enabled" answers its default, true.
for helper in deb-systemd-helper deb-systemd-invoke; do
  printf '#!/bin/sh\necho "%s $*" >>"%s/maint.log"\n[ "$1" != debian-installed ]\n' "$helper" "$WORK" >"$MSTUBS/$helper"
done
chmod +x "$MSTUBS"/*
maint() { env PATH="$MSTUBS:$PATH" DPKG_ROOT="$ROOT" sh "$WORK/control/$1" "${@:2}"; }
DATABASES=$ROOT/var/lib/vostrel/databases
maint postinst configure || fail "postinst configure failed"
if [ -d "$DATABASES" ] && cmp -s "$DATABASES/moskva-demo.zdb" "$ROOT/usr/share/vostrel/demo/moskva-demo.zdb" &&
  [ -L "$DATABASES/moskva-demo.zdb" ] && [ "$(stat -c %a "$DATABASES")" = 755 ] &&
  ! grep -q 'deb-systemd-helper enable' "$WORK/maint.log"; then
  pass "postinst: /var/lib/vostrel/databases holds the demo; the service is not enabled"
else
  fail "postinst: the databases folder is not made with the demo in it, or the service was enabled: $(ls -l "$DATABASES" 2>&1) $(cat "$WORK/maint.log")"
fi

# The service's command line as systemd runs it: ExecStart with the unit's Environment= values
# and the conffile's (all commented out: the defaults), the program and folders from the
# unpacked root, on a free port instead of 8080. It must serve the demo from the folder.
service_environment() {
  eval "$(sed -n 's/^Environment=//p' "$UNIT")"
  # shellcheck disable=SC1090 # the package's conffile
  . "$CONF"
}
listen=$(service_environment && echo "$VOSTREL_LISTEN")
[ "$listen" = 127.0.0.1:8080 ] || fail "the service listens on '$listen' by default, not 127.0.0.1:8080"
# The credentials systemd hands the service, in $1: each LoadCredential= file where the
# administrator made it (here under the unpacked root), else its SetCredential= value.
service_credentials() {
  local id path value
  rm -rf "$1" && mkdir -p "$1"
  while IFS=: read -r id value; do
    printf '%b' "$value" >"$1/$id"
  done < <(sed -n 's/^SetCredential=//p' "$UNIT")
  while IFS=: read -r id path; do
    [ ! -f "$ROOT$path" ] || cp "$ROOT$path" "$1/$id"
  done < <(sed -n 's/^LoadCredential=//p' "$UNIT")
}
service_words() {
  local line word name value
  line=$(sed -n 's/^ExecStart=//p' "$UNIT")
  (
    service_environment
    VOSTREL_LISTEN=${VOSTREL_LISTEN%:*}:0
    CREDENTIALS_DIRECTORY=$WORK/credentials
    for word in $line; do
      while [[ $word =~ ^([^$]*)\$\{([A-Z_]+)\}(.*)$ ]]; do
        name=${BASH_REMATCH[2]}
        word=${BASH_REMATCH[1]}${!name}${BASH_REMATCH[3]}
      done
      if [[ $word =~ ^\$([A-Z_]+)$ ]]; then
        name=${BASH_REMATCH[1]}
        for value in ${!name}; do printf '%s\n' "$value"; done
      else
        printf '%s\n' "$word"
      fi
    done
  ) | sed "s|^/usr/|$ROOT/usr/|; s|^/var/|$ROOT/var/|"
}
# Starts the unit's command line under strace (its system calls are held to the unit's filter
# below) into service.trace.$1; BASE is the address it prints.
start_service() {
  service_credentials "$WORK/credentials"
  mapfile -t service_cmd < <(service_words)
  strace -f -qq -o "$WORK/service.trace.$1" "${service_cmd[@]}" >"$WORK/service.out" \
    2>"$WORK/service.err" &
  STRACE_PID=$!
  for _ in $(seq 50); do
    SERVER_PID=$(pgrep -P "$STRACE_PID" | head -1)
    [ -n "$SERVER_PID" ] && break
    sleep 0.1
  done
  for _ in $(seq 100); do
    grep -q '^listening on ' "$WORK/service.out" && break
    kill -0 "$SERVER_PID" 2>/dev/null || break
    sleep 0.1
  done
  BASE=$(sed -n 's|^listening on \(https*://127\.0\.0\.1:[0-9]*\)$|\1|p' "$WORK/service.out")
}
stop_service() {
  [ -z "$SERVER_PID" ] || kill "$SERVER_PID" 2>/dev/null
  wait "$STRACE_PID" 2>/dev/null
  SERVER_PID=
}
start_service plain
databases=$([ -n "$BASE" ] && curl -sf "$BASE/api/databases")
demo_id=$(grep -o '"file":"moskva-demo.zdb","id":"[0-9a-f]*"' <<<"$databases" | sed 's/.*"id":"//; s/"//')
served=$([ -n "$demo_id" ] && curl -sf "$BASE/api/search?db=$demo_id&Name=%D0%9F%D0%95%D0%A2%D0%A0%D0%9E%D0%92&format=tsv")
expected=$("$ROOT/usr/bin/vostrel-cli" search --format tsv "$ROOT/usr/share/vostrel/demo/moskva-demo.zdb" name=ПЕТРОВ)
if [ -n "$demo_id" ] && [ "$(grep -c '"id"' <<<"$databases")" = 1 ] && [ -n "$served" ] &&
  [ "$served" = "$expected" ] && [ "$(wc -l <<<"$served")" -gt 1 ]; then
  pass "the unit's command line (${service_cmd[*]//$ROOT/}) serves the demo: $(($(wc -l <<<"$served") - 1)) rows for ПЕТРОВ"
else
  fail "the unit's command line ${service_cmd[*]} does not serve the demo: $(cat "$WORK/service.out" "$WORK/service.err") databases: $databases"
fi
stop_service

# With a password and a certificate made as the conffile says, the same command line serves
# HTTPS, and nothing of the directory before signing in. Wrong passwords sent as fast as one
# connection carries them are slowed: after the first, the server answers 429 without looking.
mkdir -p "$ROOT/etc/vostrel"
printf 'correct horse\n' | "$ROOT/usr/bin/vostrel-server" --hash-password >"$ROOT/etc/vostrel/password"
openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=localhost \
  -addext subjectAltName=IP:127.0.0.1 -keyout "$ROOT/etc/vostrel/tls.key" \
  -out "$ROOT/etc/vostrel/tls.crt" 2>/dev/null
start_service tls
tls=(curl -s --cacert "$ROOT/etc/vostrel/tls.crt")
sign_in=(-H 'Content-Type: application/json' -X POST)
before=$("${tls[@]}" -o /dev/null -w '%{http_code}' "$BASE/api/databases")
session=$("${tls[@]}" "$BASE/api/session")
flood_urls=()
for _ in $(seq 20); do flood_urls+=(-o /dev/null "$BASE/api/session"); done
flood=$("${tls[@]}" "${sign_in[@]}" -d '{"password":"wrong"}' -w '%{http_code}\n' "${flood_urls[@]}" |
  sort | uniq -c | awk '{printf "%s:%s ", $2, $1}')
# The right password while the address waits is refused too; after the wait it signs in.
cookie=
waits=
for _ in 1 2 3 4; do
  headers=$("${tls[@]}" "${sign_in[@]}" -d '{"password":"correct horse"}' -D - -o /dev/null \
    "$BASE/api/session" | tr -d '\r')
  cookie=$(sed -n 's/^Set-Cookie: //p' <<<"$headers")
  [ -z "$cookie" ] || break
  wait_s=$(sed -n 's/^Retry-After: \([0-9]*\)$/\1/p' <<<"$headers")
  waits="$waits ${wait_s:-?}"
  sleep "${wait_s:-1}"
done
token=${cookie%%;*}
listed=$("${tls[@]}" -H "Cookie: $token" "$BASE/api/databases" | grep -c '"file":"moskva-demo.zdb"')
served_tls=$("${tls[@]}" -H "Cookie: $token" "$BASE/api/search?db=$demo_id&Name=%D0%9F%D0%95%D0%A2%D0%A0%D0%9E%D0%92&format=tsv")
plain=$(curl -s -o /dev/null -w '%{http_code}' "http://${BASE#https://}/api/databases")
"${tls[@]}" -X DELETE -H "Cookie: $token" "$BASE/api/session" >/dev/null
after=$("${tls[@]}" -H "Cookie: $token" -o /dev/null -w '%{http_code}' "$BASE/api/databases")
if [[ $BASE == https://* && $before == 401 && $session == *'"password":true'* &&
  $session == *'"signedIn":false'* && $flood =~ ^401:[123]\ 429:1[789]\ $ &&
  $cookie == *'; HttpOnly'* && $cookie == *'; SameSite=Strict'* && $cookie == *'; Secure'* &&
  $listed == 1 && $served_tls == "$expected" && $plain == 000 && $after == 401 ]]; then
  pass "password and TLS: 401 before signing in; 20 wrong passwords: $flood; then waited:${waits:- none}; the session cookie $(sed 's/=[0-9a-f]*;/=…;/' <<<"$cookie"); signed out: 401"
else
  fail "password and TLS: $BASE; before $before, session $session, flood $flood, waited $waits, cookie $cookie, listed $listed, plain http $plain, signed out $after; $(cat "$WORK/service.err")"
fi
stop_service
rm "$ROOT/etc/vostrel/password" "$ROOT/etc/vostrel/tls.crt" "$ROOT/etc/vostrel/tls.key"
# A network address without a password is refused before anything listens.
if out=$("$ROOT/usr/bin/vostrel-server" --listen 0.0.0.0:0 "$ROOT/usr/share/vostrel/demo/moskva-demo.zdb" 2>&1); then
  fail "vostrel-server listened on 0.0.0.0 without a password: $out"
elif [[ $out != *"needs a password"* ]]; then
  fail "vostrel-server on 0.0.0.0 without a password: $out"
fi

# No system call the server made while it served is one the unit's SystemCallFilter= denies
# (the filter answers EPERM to those): systemd does not run here to enforce it.
syscall_set() {
  local word
  for word in "$@"; do
    if [[ $word == @* ]]; then
      # shellcheck disable=SC2046 # a group's members, one word each
      syscall_set $(systemd-analyze syscall-filter "$word" 2>/dev/null | tail -n +2 | grep -v '^ *#')
    else
      echo "$word"
    fi
  done
}
# shellcheck disable=SC2046 # the filter's words
allowed=$(syscall_set $(sed -n 's/^SystemCallFilter=\([^~]\)/\1/p' "$UNIT") | sort -u)
# shellcheck disable=SC2046
denied=$(syscall_set $(sed -n 's/^SystemCallFilter=~//p' "$UNIT") | sort -u)
made=$(sed -n 's/^[0-9]* *\([a-z0-9_]*\)(.*/\1/p' "$WORK"/service.trace.* | sort -u)
outside=$(comm -23 <(echo "$made") <(echo "$allowed"); comm -12 <(echo "$made") <(echo "$denied"))
if [ "$(wc -l <<<"$made")" -gt 20 ] && [ "$(wc -l <<<"$allowed")" -gt 100 ] && [ -z "$outside" ]; then
  pass "the server's $(wc -l <<<"$made") system calls pass the unit's SystemCallFilter="
else
  fail "the unit's SystemCallFilter= would deny the server: $(echo $outside) (traced: $(echo $made))"
fi

# An upgrade leaves the folder as the administrator made it; purge keeps a database put there,
# and with only the demo link left removes it all.
rm "$DATABASES/moskva-demo.zdb"
"$ROOT/usr/bin/vostrel-gen" --records 20 "$DATABASES/own.db" >/dev/null
maint postinst configure "$VERSION" || fail "postinst configure (upgrade) failed"
maint prerm remove && maint postrm remove || fail "prerm or postrm remove failed"
[ ! -e "$DATABASES/moskva-demo.zdb" ] && [ -f "$DATABASES/own.db" ] || fail "upgrade or removal changed the databases folder"
maint postrm purge || fail "postrm purge failed"
[ -f "$DATABASES/own.db" ] || fail "purge removed a database the administrator put there"
rm -r "$ROOT/var/lib/vostrel"
maint postinst configure && maint postrm purge || fail "postinst or postrm purge failed"
if [ ! -e "$ROOT/var/lib/vostrel" ] && grep -q 'deb-systemd-helper purge vostrel-server.service' "$WORK/maint.log"; then
  pass "upgrade and removal keep the databases; purge removes what the package made"
else
  fail "purge left $(find "$ROOT/var/lib/vostrel" 2>&1) or did not purge the unit's state: $(cat "$WORK/maint.log")"
fi

# ---- The launcher, for a new user ----
export HOME=$WORK/home
export XDG_DATA_HOME=$HOME/data
USER_DATA=$XDG_DATA_HOME
APP=$USER_DATA/vostrel/drive_v/Vostrel
PREFIX=$USER_DATA/vostrel/wineprefix
mkdir -p "$HOME"
unset WINEPREFIX WINEDEBUG WINEARCH WINEDLLOVERRIDES
LAUNCHER=$ROOT/usr/bin/vostrel

# Without a display: a message and an error, at once, and nothing set up.
out=$(env -u DISPLAY timeout 20 "$LAUNCHER" 2>&1)
status=$?
if [ "$status" -eq 1 ] && grep -q 'no display' <<<"$out" && [ ! -e "$USER_DATA/vostrel" ]; then
  pass "no display: exit 1, \"$(head -1 <<<"$out")\""
else
  fail "without a display the launcher ended with $status: $out"
fi

# ---- The launcher and the user's folder, with stand-ins for Wine ----
# The stand-ins record what they are asked and make the folders wineboot makes, so that the
# launcher's handling of the folder is tried in a moment and no real prefix is touched.
STUBS=$WORK/stub-bin
mkdir -p "$STUBS"
printf '#!/bin/bash\necho "wine $*" >>"$STUB_LOG"\n' >"$STUBS/wine"
printf '#!/bin/bash\necho "wineserver $*" >>"$STUB_LOG"\n' >"$STUBS/wineserver"
cat >"$STUBS/wineboot" <<'STUB'
#!/bin/bash
# Only the preparation (-i) is held and checked; ending a session (-s) is only noted.
if [ "$1" != -i ]; then
  echo "wineboot $*" >>"$STUB_LOG"
  exit 0
fi
# Two preparations of one prefix at once are what the launcher must never start.
if ! mkdir "$WINEPREFIX/.stub-busy" 2>/dev/null; then
  echo "wineboot twice at once" >>"$STUB_LOG"
  exit 1
fi
echo "wineboot $*" >>"$STUB_LOG"
# STUB_HOLD: tell the test that the preparation is under way, and wait for its word.
if [ -n "${STUB_HOLD:-}" ]; then
  echo in >"$STUB_HOLD.in"
  read -r _ <"$STUB_HOLD.out"
fi
mkdir -p "$WINEPREFIX/dosdevices" "$WINEPREFIX/drive_c/windows/Fonts"
rmdir "$WINEPREFIX/.stub-busy"
STUB
# The first start's notice window: shown, and closed when its input ends.
cat >"$STUBS/zenity" <<'STUB'
#!/bin/bash
echo "zenity start $*" >>"$STUB_LOG"
cat >/dev/null
echo "zenity end" >>"$STUB_LOG"
STUB
chmod +x "$STUBS"/*

# Runs the installed launcher with the stand-ins in a clean environment, in the case's folder
# $C, with the variables in run_env (HOME=$C/home unless the case changes it).
stub_launch() {
  (cd "$C" && env -i PATH="$STUBS:$PATH" DISPLAY=:stub STUB_LOG="$C/wine.log" "${run_env[@]}" \
    "$LAUNCHER" "$@")
}
# Every path below $1 with its type, owner, size, time and link target.
snapshot() { find "$1" -printf '%p %y %u %s %T@ %l\n' | sort; }
new_case() {
  C=$WORK/cases/$1
  H=$C/home
  S=$H/.local/share/vostrel
  mkdir -p "$H"
  run_env=("HOME=$H")
}
STUB_APP=.local/share/vostrel/drive_v/Vostrel

# Refused: a sentence from the launcher, exit code 1, Wine never asked, and nothing in the
# case's folder made, changed or removed.
refuse_home_unset() { run_env=(); }
refuse_home_relative() { run_env=(HOME=home); }
refuse_home_missing() { run_env=("HOME=$C/nonexistent"); }
refuse_quote() {
  mkdir -p "$C/say \"hi\""
  run_env+=("XDG_DATA_HOME=$C/say \"hi\"")
}
refuse_backslash() {
  mkdir -p "$C/back\\slash"
  run_env+=("XDG_DATA_HOME=$C/back\\slash")
}
refuse_drive_link() {
  mkdir -p "$S" "$C/elsewhere"
  ln -s "$C/elsewhere" "$S/drive_v"
}
refuse_data_link() {
  mkdir -p "$H/.local/share" "$C/elsewhere"
  ln -s "$C/elsewhere" "$S"
}
refuse_prefix_link() {
  mkdir -p "$S/drive_v/Vostrel" "$C/elsewhere"
  ln -s "$C/elsewhere" "$S/wineprefix"
}
refuse_program_folder() { mkdir -p "$S/drive_v/Vostrel/vostrel.exe"; }
# A pipe the program would wait on for ever when it reads the list.
refuse_list_pipe() {
  mkdir -p "$S/drive_v/Vostrel"
  mkfifo "$S/drive_v/Vostrel/vostrel.ini"
}
# Root on a user's folder, as `sudo vostrel` keeping the user's HOME: once prepared, and fresh.
# The user is an id that names no one here (OTHER in the expected messages).
other_uid=4242
while getent passwd "$other_uid" >/dev/null; do other_uid=$((other_uid + 1)); done
refuse_root_prepared() {
  mkdir -p "$S/drive_v/Vostrel" "$S/drive_v/Directories" "$S/wineprefix"
  printf 'an older program' >"$S/drive_v/Vostrel/vostrel.exe"
  printf 'V:\\Directories\\x.db;X\r\n' >"$S/drive_v/Vostrel/vostrel.ini"
  chown -R "$other_uid:$other_uid" "$H"
}
refuse_root_fresh() {
  mkdir -p "$H/.local/share"
  chown -R "$other_uid:$other_uid" "$H"
}
while IFS='|' read -r name expected; do
  if [[ $name == root_* ]] && [ "$(id -u)" -ne 0 ]; then
    echo "skipped: refused $name (needs root to give the folder to another user)"
    continue
  fi
  expected=${expected//OTHER/$other_uid}
  new_case "refuse-$name"
  "refuse_$name"
  before=$(snapshot "$C")
  out=$(stub_launch 2>&1)
  status=$?
  after=$(snapshot "$C")
  if [ "$status" -eq 1 ] && [[ $out == "vostrel: "* ]] && grep -qF -- "$expected" <<<"$out" &&
    [ "$before" = "$after" ]; then
    pass "refused $name: \"$(head -1 <<<"$out")\""
  else
    fail "refused $name: exit code $status (1 expected), \"$out\" (expected \"$expected\")"
    diff <(echo "$before") <(echo "$after") | head -20 >&2
  fi
done <<'CASES'
home_unset|HOME is not set
home_relative|HOME is 'home', which is not an absolute path
home_missing|/nonexistent', which is no folder
quote|say "hi"/vostrel holds a double quote
backslash|back\slash/vostrel holds a double quote (") or a backslash
drive_link|/vostrel/drive_v is a symbolic link
data_link|/.local/share/vostrel is a symbolic link
prefix_link|/vostrel/wineprefix is a symbolic link
program_folder|/Vostrel/vostrel.exe is not a file
list_pipe|/Vostrel/vostrel.ini is not a file (a folder, a device or a pipe), and Vostrel reads it
root_prepared|/.local/share/vostrel belongs to user id OTHER, and you are root
root_fresh|/.local/share belongs to user id OTHER, and you are root
CASES

# Started: the state is damaged or planted with links after a first start, then the launcher
# runs again (with the option the case gives). Each case checks its outcome; every case must
# end with exit code 0, the program started and no temporary file left.
SHARED=$ROOT/usr/share/vostrel
printf 'victim' >"$WORK/victim"
victim_intact() { [ "$(cat "$C/victim")" = victim ] || fail "$name: a file the link pointed to was written"; }
program_is_packaged() {
  [ -f "$A/vostrel.exe" ] && [ ! -L "$A/vostrel.exe" ] && cmp -s "$A/vostrel.exe" "$SHARED/vostrel.exe" ||
    fail "$name: vostrel.exe is not the package's"
}
list_is() { cmp -s "$A/vostrel.ini" "$1" && [ ! -L "$A/vostrel.ini" ] || fail "$name: vostrel.ini is not $2"; }
printf 'V:\\Directories\\moskva-demo.zdb;%s\r\n' 'Москва (демо)' | iconv -f UTF-8 -t CP1251 >"$WORK/demo-list"

start_planted_temp_names() {
  ln -s "$C/victim" "$A/vostrel.exe.new"
  ln -s "$C/victim" "$A/vostrel.ini.new"
  printf 'an older program' >"$A/vostrel.exe"
}
check_planted_temp_names() { victim_intact; program_is_packaged; list_is "$WORK/demo-list" "the demo list"; }
start_program_link() { ln -sfn "$C/victim" "$A/vostrel.exe"; }
check_program_link() { victim_intact; program_is_packaged; }
start_program_cut() { head -c 4096 "$SHARED/vostrel.exe" >"$A/vostrel.exe"; }
check_program_cut() { program_is_packaged; }
start_program_empty() { : >"$A/vostrel.exe"; }
check_program_empty() { program_is_packaged; }
start_demo_dangling() {
  rm "$C/$DEMO_PATH"
  ln -s "$C/nowhere/moskva-demo.zdb" "$C/$DEMO_PATH"
}
check_demo_dangling() {
  [ "$(readlink "$C/$DEMO_PATH")" = "$C/nowhere/moskva-demo.zdb" ] && [ ! -e "$C/nowhere" ] ||
    fail "$name: the link was followed or replaced"
  grep -q 'note: .*moskva-demo.zdb is a link to no file' <<<"$out" || fail "$name: no note: $out"
}
# A damaged list is the program's to read (it skips what it cannot use): kept byte for byte.
start_list_empty() { : >"$A/vostrel.ini"; cp "$A/vostrel.ini" "$C/list"; }
start_list_cut() { head -c 20 "$WORK/demo-list" >"$A/vostrel.ini"; cp "$A/vostrel.ini" "$C/list"; }
start_list_binary() { head -c 3000 "$SHARED/vostrel.exe" >"$A/vostrel.ini"; cp "$A/vostrel.ini" "$C/list"; }
check_list_empty() { list_is "$C/list" "the user's"; }
check_list_cut() { list_is "$C/list" "the user's"; }
check_list_binary() { list_is "$C/list" "the user's"; }
start_list_link_reset() { ln -sfn "$C/victim" "$A/vostrel.ini"; }
check_list_link_reset() { victim_intact; list_is "$WORK/demo-list" "the demo list"; }
start_list_dangling() { rm "$A/vostrel.ini"; ln -s "$C/nowhere/vostrel.ini" "$A/vostrel.ini"; }
check_list_dangling() {
  [ "$(readlink "$A/vostrel.ini")" = "$C/nowhere/vostrel.ini" ] && [ ! -e "$C/nowhere" ] ||
    fail "$name: the dangling list was replaced or followed"
}
start_font_link() {
  touch -d 2000-01-01 "$C/victim"
  ln -sfn "$C/victim" "$S/wineprefix/drive_c/windows/Fonts/tahoma.ttf"
}
check_font_link() {
  victim_intact
  cmp -s "$S/wineprefix/drive_c/windows/Fonts/tahoma.ttf" /usr/share/wine/fonts/tahoma.ttf ||
    fail "$name: the prefix's Tahoma is not Wine's"
}
start_drive_elsewhere() { ln -sfn "$C" "$S/wineprefix/dosdevices/v:"; }
check_drive_elsewhere() {
  [ "$(readlink "$S/wineprefix/dosdevices/v:")" = "$S/drive_v" ] || fail "$name: V: is not the user's drive"
}
# A relative XDG_DATA_HOME is ignored: the first start makes the folder in HOME, none in $C.
start_xdg_relative() { rm -rf "$S"; run_env+=(XDG_DATA_HOME=data); }
check_xdg_relative() {
  [ ! -e "$C/data" ] && [ -f "$A/vostrel.ini" ] || fail "$name: the folder is not in HOME"
  grep -q "XDG_DATA_HOME ('data') is not an absolute path and is ignored" <<<"$out" || fail "$name: no note: $out"
}
DEMO_PATH=home/.local/share/vostrel/drive_v/Directories/moskva-demo.zdb
[ -f /usr/share/wine/fonts/tahoma.ttf ] || echo "skipped: started font_link (no /usr/share/wine/fonts/tahoma.ttf)"
while IFS='|' read -r name option; do
  [ "$name" != font_link ] || [ -f /usr/share/wine/fonts/tahoma.ttf ] || continue
  new_case "start-$name"
  A=$H/$STUB_APP
  cp "$WORK/victim" "$C/victim"
  stub_launch >/dev/null 2>&1 || fail "$name: the first start failed"
  "start_$name"
  : >"$C/wine.log"
  out=$(stub_launch ${option:+"$option"} 2>&1)
  status=$?
  leftovers=$(find "$S" -name '.vostrel-new.*')
  if [ "$status" -eq 0 ] && grep -qx 'wine vostrel.exe' "$C/wine.log" && [ -z "$leftovers" ]; then
    failures_before=$FAILURES
    "check_$name"
    [ "$FAILURES" -ne "$failures_before" ] || pass "started $name${option:+ ($option)}"
  else
    fail "started $name: exit code $status, $out; temporary files left: $leftovers"
  fi
done <<'CASES'
planted_temp_names|--reset
program_link|
program_cut|
program_empty|
demo_dangling|
list_empty|
list_cut|
list_binary|
list_link_reset|--reset
list_dangling|
font_link|
drive_elsewhere|
xdg_relative|
CASES

# Two starts at once on a fresh account: the second waits while the first prepares, then both
# start the program on one prepared state. The first one's preparation is held until the
# second says it waits; without the wait, the second prepares too (or fails).
new_case concurrent
mkfifo "$C/hold.in" "$C/hold.out" "$C/second.err"
run_env+=("STUB_HOLD=$C/hold")
stub_launch >"$C/first.out" 2>&1 &
first_pid=$!
run_env=("HOME=$H")
# Both ends of the stand-in's pipes are held open here, so that no open or write of the test
# waits for a reader; the 120 s bounds only keep a broken launcher from hanging the test.
exec {hold_in}<>"$C/hold.in" {hold_out}<>"$C/hold.out"
if read -r -t 120 -u "$hold_in" _; then
  stub_launch >/dev/null 2>"$C/second.err" &
  second_pid=$!
  released=0
  exec {second_err}<"$C/second.err"
  while IFS= read -r -t 120 -u "$second_err" line || { [ $? -gt 128 ] && released=hung && false; }; do
    echo "$line" >>"$C/second.log"
    if [ "$released" = 0 ] && [[ $line == *"waiting for it"* ]]; then
      echo go >&"$hold_out"
      released=1
    fi
  done
  exec {second_err}<&-
  [ "$released" = 1 ] || echo go >&"$hold_out"
  [ "$released" != hung ] || kill "$first_pid" "$second_pid" 2>/dev/null
  first_status=0 second_status=0
  wait "$first_pid" || first_status=$?
  wait "$second_pid" || second_status=$?
  A=$H/$STUB_APP
  if [ "$first_status" -eq 0 ] && [ "$second_status" -eq 0 ] && [ "$released" = 1 ] &&
    [ "$(grep -c '^wineboot -i' "$C/wine.log")" = 1 ] && ! grep -q twice "$C/wine.log" &&
    [ "$(grep -cx 'wine vostrel.exe' "$C/wine.log")" = 2 ] && cmp -s "$A/vostrel.ini" "$WORK/demo-list" &&
    name=concurrent program_is_packaged && [ -z "$(find "$S" -name '.vostrel-new.*')" ]; then
    pass "two starts at once: one preparation, both started the program"
  else
    fail "two starts at once: exit codes $first_status and $second_status; the second said: $(cat "$C/second.log" 2>/dev/null); Wine was asked: $(cat "$C/wine.log")"
  fi
else
  fail "two starts at once: the first start never prepared Wine: $(cat "$C/first.out")"
  kill "$first_pid" 2>/dev/null
  echo go >&"$hold_out"
fi

# A first start from the desktop menu has no terminal: a notice window shows before Wine is
# prepared and is closed again; a later start, with Wine prepared, shows none.
new_case notice
stub_launch >"$C/first.out" 2>&1 || true
for _ in $(seq 100); do grep -q '^zenity end' "$C/wine.log" && break; sleep 0.1; done
first_lines=$(grep -n '' "$C/wine.log")
: >"$C/wine.log"
stub_launch >"$C/second.out" 2>&1 || true
if [ "$(grep -m1 '^[0-9]*:zenity start' <<<"$first_lines" | cut -d: -f1)" -lt \
  "$(grep -m1 '^[0-9]*:wineboot -i' <<<"$first_lines" | cut -d: -f1)" ] 2>/dev/null &&
  grep -q '^[0-9]*:zenity end' <<<"$first_lines" && grep -q 'Preparing Vostrel' <<<"$first_lines" &&
  ! grep -q zenity "$C/wine.log" && grep -qx 'wine vostrel.exe' "$C/wine.log"; then
  pass "first start: a notice window while Wine is prepared, closed again; none later"
else
  fail "first start notice: Wine and zenity were asked: $first_lines / later: $(cat "$C/wine.log")"
fi
exec {hold_in}<&- {hold_out}<&-

# --browser: a server of the user's own over drive_v, its address opened with xdg-open (a
# stand-in that records it), no Wine asked for anything; a database added to drive_v is
# served without a restart, and a second start opens the same server.
new_case browser
printf '#!/bin/sh\necho "xdg-open $*" >>"$STUB_LOG"\n' >"$STUBS/xdg-open"
chmod +x "$STUBS/xdg-open"
out=$(stub_launch --browser 2>&1)
status=$?
url=$(sed -n 's|^xdg-open \(http://127\.0\.0\.1:[0-9]*\)/$|\1|p' "$C/wine.log")
read -r BROWSER_PID _ <"$S/browser-server" 2>/dev/null
[ "$(readlink "/proc/${BROWSER_PID:-none}/exe")" = "$ROOT/usr/bin/vostrel-server" ] || BROWSER_PID=
listed=$([ -n "$url" ] && curl -sf "$url/api/databases")
"$ROOT/usr/bin/vostrel-gen" --records 30 "$S/drive_v/extra.db" >/dev/null
# The folders are walked again at most once a second.
for _ in $(seq 30); do
  listed_after=$([ -n "$url" ] && curl -sf "$url/api/databases")
  grep -q '"file":"extra.db"' <<<"$listed_after" && break
  sleep 0.2
done
page=$([ -n "$url" ] && curl -sf "$url/")
second=$(stub_launch --browser 2>&1)
if [ "$status" -eq 0 ] && [ -n "$url" ] && [ -z "$(grep -v '^xdg-open ' "$C/wine.log")" ] &&
  grep -q '"file":"moskva-demo.zdb"' <<<"$listed" && [ "$(grep -o '"id"' <<<"$listed" | wc -l)" = 1 ] &&
  grep -q '"file":"extra.db"' <<<"$listed_after" && grep -qi '<html' <<<"$page" &&
  [ "$(grep -c "^xdg-open $url/\$" "$C/wine.log")" = 2 ] && [ "$(wc -l <"$C/wine.log")" = 2 ] &&
  [ "$(cut -d' ' -f1 "$S/browser-server")" = "$BROWSER_PID" ] && kill -0 "$BROWSER_PID" 2>/dev/null; then
  pass "--browser: the user's server at $url opened with xdg-open, no Wine; the second start opened it again"
else
  fail "--browser: exit code $status, $out / $second; asked: $(cat "$C/wine.log"); databases: $listed / $listed_after"
fi
# An upgrade replaces the program file: the next start ends the old server and opens a new one.
cp -p "$ROOT/usr/bin/vostrel-server" "$ROOT/usr/bin/.vostrel-server.new"
mv -f "$ROOT/usr/bin/.vostrel-server.new" "$ROOT/usr/bin/vostrel-server"
old_pid=$BROWSER_PID
: >"$C/wine.log"
third=$(stub_launch --browser 2>&1)
read -r BROWSER_PID new_url <"$S/browser-server" 2>/dev/null
[ "$(readlink "/proc/${BROWSER_PID:-none}/exe")" = "$ROOT/usr/bin/vostrel-server" ] || BROWSER_PID=
for _ in $(seq 50); do kill -0 "$old_pid" 2>/dev/null || break; sleep 0.1; done
if [ -n "$old_pid" ] && [ -n "$BROWSER_PID" ] && [ "$BROWSER_PID" != "$old_pid" ] &&
  ! kill -0 "$old_pid" 2>/dev/null && [ "$(cat "$C/wine.log")" = "xdg-open $new_url/" ] &&
  curl -sf "$new_url/api/databases" | grep -q '"file":"extra.db"'; then
  pass "--browser after an upgrade: the old server ended, the new one opened"
else
  fail "--browser after an upgrade: server $old_pid -> $BROWSER_PID, $third; asked: $(cat "$C/wine.log")"
  [ -z "$old_pid" ] || kill "$old_pid" 2>/dev/null
fi
[ -z "$BROWSER_PID" ] || kill "$BROWSER_PID" 2>/dev/null
BROWSER_PID=

. tests/support/virtual_screen.sh
start_virtual_screen 640x480x24

# --browser as a desktop user starts it: the real xdg-open on the virtual screen, Chromium the
# user's browser (a desktop entry made the default for http, as a desktop's settings do; run
# headless, it writes the page as shown once its scripts ran). The page lists drive_v's demo
# and offers Quit, which ends the server; Wine is never asked (stand-ins record it if it were).
new_case real_browser
mkdir -p "$H/.local/share/applications" "$C/bin"
for w in wine wine64 wineserver wineboot; do
  printf '#!/bin/sh\necho "%s $*" >>"%s"\n' "$w" "$C/wine.log" >"$C/bin/$w"
  chmod +x "$C/bin/$w"
done
cat >"$C/bin/test-browser" <<BROWSER
#!/bin/sh
exec timeout 60 chromium --headless=new --no-sandbox --disable-dev-shm-usage --disable-gpu \\
  --virtual-time-budget=5000 --dump-dom "\$1" >"$C/page.html" 2>/dev/null
BROWSER
chmod +x "$C/bin/test-browser"
printf '[Desktop Entry]\nType=Application\nName=Test browser\nExec=%s %%u\nMimeType=x-scheme-handler/http;\n' \
  "$C/bin/test-browser" >"$H/.local/share/applications/test-browser.desktop"
env -i PATH="$PATH" HOME="$H" xdg-mime default test-browser.desktop x-scheme-handler/http
out=$(cd "$C" && env -i PATH="$C/bin:$PATH" HOME="$H" DISPLAY="$DISPLAY" "$LAUNCHER" --browser 2>&1)
status=$?
read -r BROWSER_PID url <"$S/browser-server" 2>/dev/null
shown=$(sed -n 's|.*<select id="db"><option value="[0-9a-f]*">\([^<]*\)</option></select>.*|\1|p' "$C/page.html" 2>/dev/null)
quit_offered=$(grep -c '<button type="button" id="quit" data-text="quit">' "$C/page.html" 2>/dev/null)
quit=$(curl -s -X POST -H 'Content-Type: application/json' -d '{}' "$url/api/quit")
for _ in $(seq 50); do kill -0 "$BROWSER_PID" 2>/dev/null || break; sleep 0.1; done
if [ "$status" -eq 0 ] && [ "$shown" = "Москва (демо)" ] && [ "$quit_offered" = 1 ] &&
  [ "$quit" = '{"quit":true}' ] && ! kill -0 "$BROWSER_PID" 2>/dev/null && [ ! -s "$C/wine.log" ]; then
  pass "--browser with the real xdg-open and Chromium: the page lists $shown, no Wine; Quit ended the server"
else
  fail "--browser with Chromium: exit $status, $out; page shows '$shown', quit offered $quit_offered, quit $quit, server $BROWSER_PID; Wine asked: $(cat "$C/wine.log" 2>&1)"
  kill "$BROWSER_PID" 2>/dev/null
fi
BROWSER_PID=

# Starts the installed launcher, waits for the main window, closes it with Alt+F4 and checks
# that the launcher ends with exit code 0. $1 names the run, the rest are launcher options.
run_launcher() {
  local name=$1 wait_s=$2
  shift 2
  "$LAUNCHER" "$@" >"$WORK/$name.log" 2>&1 </dev/null &
  LAUNCHER_PID=$!
  local window
  window=$(timeout "$wait_s" xdotool search --sync --name "$TITLE" 2>/dev/null | head -1)
  if [ -z "$window" ]; then
    fail "$name: no window titled Vostrel/Corvinet v2.04 within $wait_s s"
    cat "$WORK/$name.log" >&2
    WINEPREFIX=$PREFIX wineserver -k >/dev/null 2>&1
    wait "$LAUNCHER_PID" 2>/dev/null
    LAUNCHER_PID=
    return 1
  fi
  # A click into the phone box gives the window the keyboard (a click on a label does not);
  # should a key still go astray, Alt+F4 is pressed again while the window stays.
  local attempt waited
  for attempt in 1 2 3 4 5; do
    xdotool mousemove --window "$window" 97 88 click 1 >/dev/null 2>&1
    sleep 0.5
    xdotool key alt+F4
    waited=0
    while xdotool search --name "$TITLE" >/dev/null 2>&1 && [ "$waited" -lt 10 ]; do
      sleep 0.5
      waited=$((waited + 1))
    done
    xdotool search --name "$TITLE" >/dev/null 2>&1 || break
  done
  waited=0
  while kill -0 "$LAUNCHER_PID" 2>/dev/null && [ "$waited" -lt 60 ]; do
    sleep 0.5
    waited=$((waited + 1))
  done
  if kill -0 "$LAUNCHER_PID" 2>/dev/null; then
    fail "$name: the program did not end on Alt+F4"
    WINEPREFIX=$PREFIX wineserver -k >/dev/null 2>&1
    wait "$LAUNCHER_PID" 2>/dev/null
    LAUNCHER_PID=
    return 1
  fi
  local status=0
  wait "$LAUNCHER_PID" || status=$?
  LAUNCHER_PID=
  if [ "$status" -ne 0 ]; then
    fail "$name: the launcher ended with exit code $status"
    cat "$WORK/$name.log" >&2
    return 1
  fi
  pass "$name: main window shown, closed with Alt+F4, exit code 0"
}

demo_line=$(printf 'V:\\Directories\\moskva-demo.zdb;%s\r\n' 'Москва (демо)' | iconv -f UTF-8 -t CP1251)
if run_launcher first-start 240; then
  [ "$(cat "$APP/vostrel.ini")" = "$demo_line" ] || fail "first start: vostrel.ini is not the demo entry"
  cmp -s "$USER_DATA/vostrel/drive_v/Directories/moskva-demo.zdb" "$ROOT/usr/share/vostrel/demo/moskva-demo.zdb" ||
    fail "first start: the demo directory is not on the user's drive"
  [ "$(readlink -f "$PREFIX/dosdevices/v:")" = "$(readlink -f "$USER_DATA/vostrel/drive_v")" ] ||
    fail "first start: V: is not the user's drive"
  grep -q '"Last db"="V:\\\\Directories\\\\moskva-demo.zdb"' "$PREFIX/system.reg" ||
    fail "first start: the demo is not the remembered database"
fi

# The user installed another directory, and an upgrade brings a new program: the user's list
# stays, the program file is the package's again. The list also holds what a damaged file
# would (bytes of no text, a NUL, a line cut short) and the program copy is cut short: the
# window opens all the same, the list stays byte for byte, the program is replaced.
"$ROOT/usr/bin/vostrel-gen" --records 50 --title "Extra" "$USER_DATA/vostrel/drive_v/Directories/extra.db" >/dev/null
printf 'V:\\Directories\\extra.db;Extra\r\n\x01\xff\x00\xfe;\x7f\r\nV:\\Direc' >>"$APP/vostrel.ini"
cp "$APP/vostrel.ini" "$WORK/user-list"
head -c 100000 "$ROOT/usr/share/vostrel/vostrel.exe" >"$APP/vostrel.exe"
if run_launcher second-start 60; then
  cmp -s "$APP/vostrel.ini" "$WORK/user-list" || fail "second start: the user's installed list changed"
  cmp -s "$APP/vostrel.exe" "$ROOT/usr/share/vostrel/vostrel.exe" || fail "second start: vostrel.exe not updated"
fi

if run_launcher reset 60 --reset; then
  [ "$(cat "$APP/vostrel.ini")" = "$demo_line" ] || fail "--reset: vostrel.ini is not the demo entry alone"
  [ -f "$USER_DATA/vostrel/drive_v/Directories/extra.db" ] || fail "--reset deleted the user's database file"
fi

# ---- The Windows zip ----
ZIP=$WIN/vostrel-win64.zip
zip_files=$(cmake -E tar tf "$ZIP" | sort)
# A build that links ISA-L carries its licence; one that fell back to zlib has none to carry.
win_inflate=$(sed -n 's/^VOSTREL_INFLATE_USED:INTERNAL=//p' "$WIN/CMakeCache.txt")
echo "the win64 build inflates with: ${win_inflate:-unknown}"
isal_license=
[ "$win_inflate" = isal ] && isal_license=$'vostrel/LICENSE-isa-l.txt\n'
expected_zip="${isal_license}vostrel/LICENSE.txt
vostrel/README.txt
vostrel/demo/moskva-demo.zdb
vostrel/vostrel-cli.exe
vostrel/vostrel-gen.exe
vostrel/vostrel.exe
vostrel/vostrel.ini
vostrel/vostrel.lng"
if [ "$zip_files" = "$expected_zip" ]; then
  pass "zip file list"
else
  fail "zip file list differs:"
  diff <(echo "$expected_zip") <(echo "$zip_files") >&2
fi

# vostrel-cli.exe from the zip, in the prefix the launcher made: a console gets the progress
# bar, NUL (a character device, but no console) gets no more writes than a file does.
mkdir -p "$WORK/zip" && (cd "$WORK/zip" && cmake -E tar xf "$ZIP") || fail "zip does not unpack"
# The licences are the texts of the sources they come from, with CR LF line ends for Notepad.
if [ "$(tr -d '\r' <"$WORK/zip/vostrel/LICENSE.txt")" = "$(cat LICENSE)" ]; then
  pass "zip: LICENSE.txt is the project's LICENSE"
else
  fail "zip: LICENSE.txt is not the project's LICENSE"
fi
if [ "$win_inflate" = isal ]; then
  isal_source=$(sed -n 's/^VOSTREL_ISAL_WINDOWS_DIR:PATH=//p' "$WIN/CMakeCache.txt")/LICENSE
  if [ "$(tr -d '\r' <"$WORK/zip/vostrel/LICENSE-isa-l.txt")" = "$(cat "$isal_source")" ] &&
    grep -q 'Intel Corporation' "$isal_source"; then
    pass "zip: LICENSE-isa-l.txt is ISA-L's licence"
  else
    fail "zip: LICENSE-isa-l.txt is not ISA-L's licence ($isal_source)"
  fi
fi
# The read-me names the ISA-L licence exactly when the zip carries it.
readme_isal=0
grep -q 'LICENSE-isa-l.txt' "$WORK/zip/vostrel/README.txt" && readme_isal=1
if [ "$readme_isal" = "$([ -n "$isal_license" ] && echo 1 || echo 0)" ]; then
  pass "zip: README.txt names LICENSE-isa-l.txt only when the zip holds it"
else
  fail "zip: README.txt and the zip disagree on LICENSE-isa-l.txt (inflate: $win_inflate)"
fi
export WINEPREFIX=$PREFIX WINEDLLOVERRIDES="mscoree=d;mshtml=d;winemenubuilder.exe=d"
export -n DISPLAY
(
  cd "$WORK/zip/vostrel" || exit 1
  WINEDEBUG=-all script -qec "wine vostrel-cli.exe search demo/moskva-demo.zdb name=ПЕТРОВ </dev/null >/dev/null" \
    "$WORK/console.log" </dev/null >/dev/null
  # The bar is drawn through Wine's console, a character at a time between escape sequences.
  bar=$(sed 's/\x1b\[[0-9;?]*[A-Za-z]//g' "$WORK/console.log" | tr '\r' '\n' | grep -ac '^\[#')
  [ "$bar" -gt 0 ] || { echo "FAIL: no progress bar on a console" >&2; exit 1; }
  # The rows go to a file both times, so that only what goes to stderr differs.
  for target in NUL stderr.txt; do
    WINEDEBUG=trace+file wine cmd /c "vostrel-cli.exe search demo\\moskva-demo.zdb name=ПЕТРОВ >rows.txt 2>$target" \
      </dev/null >/dev/null 2>"$WORK/trace-$target.log"
  done
  nul=$(grep -c NtWriteFile "$WORK/trace-NUL.log")
  file=$(grep -c NtWriteFile "$WORK/trace-stderr.txt.log")
  [ "$file" -gt 0 ] || { echo "FAIL: no writes traced" >&2; exit 1; }
  [ "$nul" -le $((file + 20)) ] ||
    { echo "FAIL: 2>NUL is drawn to as a terminal ($nul writes traced, $file to a file)" >&2; exit 1; }
) && pass "vostrel-cli.exe: progress bar on a console, none into NUL" || FAILURES=$((FAILURES + 1))
# The zip's command-line tools tell the same version as the Debian package's (a Windows
# console may end the line with CR LF).
for tool in vostrel-cli vostrel-gen; do
  out=$(cd "$WORK/zip/vostrel" && WINEDEBUG=-all wine "$tool.exe" --version </dev/null 2>/dev/null | tr -d '\r')
  [ "$out" = "$tool $UPSTREAM" ] && pass "$tool.exe --version: $out" ||
    fail "$tool.exe --version printed \"$out\", not \"$tool $UPSTREAM\""
done
wineserver -k >/dev/null 2>&1

if [ "$FAILURES" -ne 0 ]; then
  echo "package test: $FAILURES failure(s)" >&2
  exit 1
fi
echo "package test: all passed"
