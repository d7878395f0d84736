#!/usr/bin/env bash
# Shows that check_layers.sh passes a tree whose includes point down and
# fails, naming file and line, on an include that goes up or sideways.
# Usage: check_layers_test.sh CHECK_LAYERS_SH
set -euo pipefail
check=${1:?usage: check_layers_test.sh CHECK_LAYERS_SH}
tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT

printf '# lowest first\nbase\nleft right\ntop\nclient: base\n' > "$tree/layers.txt"
mkdir -p "$tree/src/base" "$tree/src/left" "$tree/src/right" "$tree/src/top" "$tree/src/client"
printf '#pragma once\n' > "$tree/src/base/base.h"
printf '#include "base/base.h"\n#include <vector>\n' > "$tree/src/left/left.h"
printf '#include "left/left.h"\n#include "right/right.h"\n#include "base/base.h"\n' > "$tree/src/top/top.cc"
printf '#include "right/right.h"\n#include "base/base.h"\n' > "$tree/src/right/right.h"
printf '// #include in a comment is no include\n#include "base/base.h"\n' > "$tree/src/client/client.cc"

fail() {
  echo "check_layers_test: $*" >&2
  exit 1
}
"$check" "$tree/src" "$tree/layers.txt" || fail "a tree whose includes point down was refused"

expect_refusal() {  # FILE LINE TEXT: the check fails and names FILE:LINE
  local out
  if out=$("$check" "$tree/src" "$tree/layers.txt" 2>&1); then
    fail "$1 includes $3, and the check passed"
  fi
  grep -q "^$1:$2: " <<< "$out" || fail "the refusal does not name $1:$2: $out"
}

printf '#include "top/top.h"\n' >> "$tree/src/base/base.h"
expect_refusal base/base.h 2 "an upper layer"
printf '#pragma once\n' > "$tree/src/base/base.h"

printf '#include "right/right.h"\n' >> "$tree/src/left/left.h"
expect_refusal left/left.h 3 "a folder of its own layer"
printf '#include "base/base.h"\n' > "$tree/src/left/left.h"

printf '  #  include "left/left.h"\n' >> "$tree/src/client/client.cc"
expect_refusal client/client.cc 3 "a folder outside its list"
printf '#include "base/base.h"\n' > "$tree/src/client/client.cc"

mkdir -p "$tree/src/stray"
printf '#include "base/base.h"\n' > "$tree/src/stray/stray.cc"
if out=$("$check" "$tree/src" "$tree/layers.txt" 2>&1) ||
   ! grep -q "^stray/stray.cc: folder stray is not in" <<< "$out"; then
  fail "a folder missing from the layers file was not named: $out"
fi
echo "check_layers_test: passed"
