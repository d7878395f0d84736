#!/usr/bin/env bash
# Runs the browser page's tests: "unit" (node's test runner, no browser) or
# "e2e" (headless Chromium against a real zanthd). Exits 77, which ctest
# counts as skipped, when what a test needs is not installed; every other
# failure fails.
# Usage: run.sh unit
#        run.sh e2e ZANTHD ZANTHC ARTEFACT_DIR
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
    [ $# -eq 4 ] || { echo "usage: run.sh e2e ZANTHD ZANTHC ARTEFACT_DIR"; exit 2; }
    [ -x /usr/bin/chromium ] || skip "no /usr/bin/chromium (scripts/install-deps installs Debian's chromium)"
    if [ ! -d "$here/node_modules/playwright-core" ] && command -v npm > /dev/null 2>&1; then
      (cd "$here" && timeout 120 npm ci --no-audit --no-fund > /dev/null 2>&1)
    fi
    [ -d "$here/node_modules/playwright-core" ] ||
      skip "playwright-core is not installed and npm ci could not install it (scripts/install-deps runs it)"
    mkdir -p "$4"
    ZANTHD="$2" ZANTHC="$3" ARTEFACTS="$4" exec node --test "$here"/e2e/*.test.js
    ;;
  *)
    echo "usage: run.sh unit | run.sh e2e ZANTHD ZANTHC ARTEFACT_DIR"
    exit 2
    ;;
esac
