# shellcheck shell=bash
# The shared start of the command-line tests, sourced with the test's own arguments:
#   source "$(dirname "$0")/lib.sh" "$@"    # PATH-TO-vostrel-cli SCRATCH-DIR
# It resolves the program's path (the tests work inside the scratch directory), makes that
# directory anew and enters it, and gives the checks below.
set -u
CLI=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
DIR=$2
rm -rf "$DIR" && mkdir -p "$DIR" && cd "$DIR" || exit 2
failures=0

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# run EXPECTED-EXIT ARGS...: runs the program with stdout in out.txt and stderr in err.txt.
run() {
  local expected=$1
  shift
  "$CLI" "$@" >out.txt 2>err.txt
  local code=$?
  [ "$code" = "$expected" ] || fail "exit $code instead of $expected: $* ($(head -c 300 err.txt))"
}

# same FILE EXPECTED-TEXT WHAT
same() {
  if [ "$(cat "$1")" != "$2" ]; then
    fail "$3"
    echo "--- expected"; printf '%s\n' "$2"; echo "--- got"; cat "$1"
  fi
}

# contains FILE TEXT WHAT
contains() { grep -qF -- "$2" "$1" || fail "$3 (no '$2' in: $(head -c 300 "$1"))"; }
