#!/usr/bin/env bash
# The full fan-out set behind the figures of bench/README.md, each case run
# against ngIRCd (Debian's ngircd, the peer; installed when missing), the
# relay (the upper bound) and zanthd, one after the other on the same
# machine: sat and lat over a range of client counts, browser clients
# against native ones, hold 1000, scale 10000 x 100, and the plot. Appends
# JSON lines to RESULTS (replacing it first) and writes the plot beside it.
# Takes about 15 minutes; run it on a quiet machine.
#
# usage: bench/fanout_suite.sh [BUILD_DIR] [RESULTS.jsonl]
set -euo pipefail
build=${1:-build}
results=${2:-bench/results/fanout.jsonl}
fanout="$build/fanout"
[ -x "$fanout" ] || { echo "fanout_suite: no $fanout (make fanout)" >&2; exit 1; }
if [ ! -x /usr/sbin/ngircd ]; then
  sudo=""
  if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -q >&2
  $sudo apt-get install -y -q --no-install-recommends ngircd >&2
  # The package may start a server of its own; the benchmark starts its own.
  if command -v systemctl >/dev/null && systemctl is-active -q ngircd 2>/dev/null; then
    $sudo systemctl stop ngircd || true
  fi
fi
mkdir -p "$(dirname "$results")"
: > "$results"
run() {
  echo "+ fanout $*" >&2
  "$fanout" "$@" | tee -a "$results"
}
# 64-byte talk lines and 1,000 lines in flight, as the goals are stated.
for n in 25 50 100 200 400; do
  run sat --server all --clients "$n" --window 1000 --payload 64 --seconds 5
done
run sat --server zanthd,zanthd-ws --clients 50 --window 1000 --payload 64 --seconds 5
for n in 25 50 100 200 400; do
  run lat --server all --clients "$n" --rate 200000 --payload 64 --seconds 5
done
# ngIRCd ends connections when more than a few are connecting at once; zanthd
# (listen backlog 128) and the relay take 100 at a time.
run hold --server ngircd --clients 1000 --seconds 5
run hold --server relay,zanthd --clients 1000 --seconds 5 --connect-window 100
run scale --server ngircd --clients 10000 --rooms 100 --rate 20000 --seconds 10
run scale --server relay,zanthd --clients 10000 --rooms 100 --rate 20000 --seconds 10 \
  --connect-window 100
bench/plot.sh "$results" "${results%.jsonl}.png"
