#!/usr/bin/env bash
# Soak run: builds zanthd and soak (RelWithDebInfo), runs soak, and draws its
# samples with gnuplot (Debian package gnuplot-nox). Takes soak's options:
#   bench/soak.sh                                  # 1000 clients, 30 minutes
#   bench/soak.sh --clients 200 --minutes 2
# BUILD sets the build directory (default build), OUT the directory of the
# CSV, JSON, log and PNG (default bench/results), JOBS the build jobs.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-$root/build}
out=${OUT:-$root/bench/results}
command -v gnuplot >/dev/null || { echo "soak.sh: install gnuplot (apt-get install gnuplot-nox)"; exit 1; }

clients=1000
minutes=30
args=("$@")
for ((i = 0; i + 1 < ${#args[@]}; i++)); do
  case ${args[i]} in
    --clients) clients=${args[i + 1]} ;;
    --minutes) minutes=${args[i + 1]} ;;
    --out) out=${args[i + 1]} ;;
  esac
done
stem=$(printf 'soak-%dx%g' "$clients" "$minutes")

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZANTH_TESTS=OFF >/dev/null
cmake --build "$build" -j "${JOBS:-2}" --target zanthd soak
mkdir -p "$out"
status=0
"$build/soak" --out "$out" "$@" | tee "$out/$stem.log" || status=$?

csv="$out/$stem.csv"
[ -s "$csv" ] || { echo "soak.sh: no samples in $csv"; exit 1; }
warmup=$(grep -o '"warmup_end_s":[0-9.]*' "$out/$stem.json" 2>/dev/null | cut -d: -f2 || true)
verdict=$(tail -n 1 "$out/$stem.log" | sed -e 's/^soak: //' -e 's/; CSV .*//' -e "s/'//g")
gnuplot -e "csv='$csv'; png='$out/$stem.png'; warmup=${warmup:-180}; heading='zanthd soak: $clients clients, $minutes minutes - $verdict'" \
  "$root/bench/soak_plot.gp"
echo "soak.sh: plot in $out/$stem.png"
exit "$status"
