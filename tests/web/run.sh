#!/usr/bin/env bash
# Runs the browser page's tests: "unit" (node's test runner, no browser) or
# "e2e" (headless Chromium against a real zanthd). Exits 77, which ctest
# counts as skipped, when what a test needs is not installed; every other
# failure fails.
# Usage: run.sh unit
#        run.sh e2e ZANTHD ZANTHC ARTEFACT_DIR [TEST...]
# e2e runs the named tests of e2e/ (every one when none is named), over
# https when ZANTH_WEB_SCHEME=https is set.
set -u

here=$(cd "$(dirname "$0")" && pwd)
skip() {
  echo "SKIPPED: $*"
  exit 77
}

command -v node > /dev/null 2>&1 || skip "node is not installed (scripts/install-deps installs it)"

case "${1:-}" in
  unit)
    exec node --test "$here"/unit/*.test.js
    ;;
  e2e)
    [ $# -ge 4 ] || { echo "usage: run.sh e2e ZANTHD ZANTHC ARTEFACT_DIR [TEST...]"; exit 2; }
    [ -x /usr/bin/chromium ] || skip "no /usr/bin/chromium (scripts/install-deps installs Debian's chromium)"
    if [ "${ZANTH_WEB_SCHEME:-http}" = https ]; then
      command -v certutil > /dev/null 2>&1 ||
        skip "no certutil to trust the test authority (scripts/install-deps installs libnss3-tools)"
    fi
    if [ ! -d "$here/node_modules/playwright-core" ] && command -v npm > /dev/null 2>&1; then
      (cd "$here" && timeout 120 npm ci --no-audit --no-fund > /dev/null 2>&1)
    fi
    [ -d "$here/node_modules/playwright-core" ] ||
      skip "playwright-core is not installed and npm ci could not install it (scripts/install-deps runs it)"
    mkdir -p "$4"
    zanthd=$2 zanthc=$3 artefacts=$4
    shift 4
    tests=()
    for name in "$@"; do tests+=("$here/e2e/$name.test.js"); done
    [ ${#tests[@]} -gt 0 ] || tests=("$here"/e2e/*.test.js)
    ZANTHD="$zanthd" ZANTHC="$zanthc" ARTEFACTS="$artefacts" exec node --test "${tests[@]}"
    ;;
  *)
    echo "usage: run.sh unit | run.sh e2e ZANTHD ZANTHC ARTEFACT_DIR [TEST...]"
    exit 2
    ;;
esac
