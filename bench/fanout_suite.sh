#!/usr/bin/env bash
# The full fan-out set behind the figures of bench/README.md: sat and lat
# over a range of client counts (zanthd and relay), hold 1000, scale
# 10000 x 100, and the plot. Appends JSON lines to RESULTS (replacing it
# first) and writes the plot beside it. Takes about 10 minutes; run it on a
# quiet machine.
#
# usage: bench/fanout_suite.sh [BUILD_DIR] [RESULTS.jsonl]
set -euo pipefail
build=${1:-build}
results=${2:-bench/results/fanout.jsonl}
fanout="$build/fanout"
[ -x "$fanout" ] || { echo "fanout_suite: no $fanout (make fanout)" >&2; exit 1; }
mkdir -p "$(dirname "$results")"
: > "$results"
run() {
  echo "+ fanout $*" >&2
  "$fanout" "$@" | tee -a "$results"
}
# The default window, 4 x clients lines in flight, keeps both servers busy
# without long queues (see the window sweep in bench/README.md).
for n in 25 50 100 200 400; do
  run sat --clients "$n" --seconds 5
done
run sat --server relay --relay-pass-limit 1024 --clients 50,200 --seconds 5
for n in 25 50 100 200 400; do
  run lat --clients "$n" --rate 200000 --seconds 5
done
run hold --server both --clients 1000 --seconds 5
run scale --server both --clients 10000 --rooms 100 --rate 20000 --seconds 10
run scale --server both --clients 10000 --rooms 100 --rate 100000 --seconds 10
bench/plot.sh "$results" "${results%.jsonl}.png"
