#!/usr/bin/env bash
# The engine never depends on the user interface: nothing in db/, search/, i18n/, settings/,
# cli/ or server/ includes a ui/ header, and the command line includes none of the program's
# Win32-only headers (it may call the platform itself where a platform differs, such as a
# console).
# Usage: check_include_direction.sh SOURCE_DIR
set -u
src=$1/src
status=0
if hits=$(grep -rn '#include "ui/' "$src/db" "$src/search" "$src/i18n" "$src/settings" "$src/cli" "$src/server"); then
  echo "portable code includes the user interface:" >&2
  echo "$hits" >&2
  status=1
fi
if hits=$(grep -rn '#include ".*_win32\.h"' "$src/cli"); then
  echo "the command line includes the program's Win32-only headers:" >&2
  echo "$hits" >&2
  status=1
fi
[ $status -eq 0 ] && echo "include direction: ok"
exit $status
