#!/usr/bin/env bash
# Plots the fan-out figures against the number of clients: deliveries per
# second at saturation (the "sat" lines) and the p99 delay at a fixed offered
# rate (the "lat" lines), for zanthd, ngIRCd and the relay. Reads JSON lines as
# bench/fanout prints them; the last line of each case wins.
#
# usage: bench/plot.sh RESULTS.jsonl OUT.png
# Installs gnuplot-nox and jq (Debian packages) when they are missing.
set -euo pipefail
[ $# -eq 2 ] || { echo "usage: $0 RESULTS.jsonl OUT.png" >&2; exit 2; }
results=$1
png=$2

missing=()
command -v gnuplot >/dev/null || missing+=(gnuplot-nox)
command -v jq >/dev/null || missing+=(jq)
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -q >&2
  $sudo apt-get install -y -q --no-install-recommends "${missing[@]}" >&2
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# series SCENARIO SERVER FIELD: "clients value" rows, one per client count.
series() {
  jq -r --arg s "$1" --arg v "$2" --arg f "$3" \
    'select(.ok == true and .scenario == $s and .server == $v and .rooms == 1
            and (.relay_pass_limit // 0) == 0 and (.relay_buffer // 0) == 0 and (.window // 1000) == 1000)
     | "\(.clients) \(.[$f])"' "$results" |
    awk '{ last[$1] = $2 } END { for (c in last) print c, last[c] }' | sort -n
}
for server in zanthd ngircd relay; do
  series sat "$server" deliveries_per_s > "$work/sat-$server.dat"
  series lat "$server" p99_ms > "$work/lat-$server.dat"
done
offered=$(jq -r 'select(.ok == true and .scenario == "lat") | .offered_per_s' "$results" |
          tail -1)

plots=()
add() {  # add FILE TITLE AXES STYLE
  [ -s "$1" ] && plots+=("'$1' using 1:2 axes $3 with linespoints $4 title '$2'")
  return 0
}
add "$work/sat-zanthd.dat" "zanthd deliveries/s (sat)" x1y1 "lw 2 pt 7 lc rgb '#1f77b4'"
add "$work/sat-ngircd.dat" "ngIRCd deliveries/s (sat)" x1y1 "lw 2 pt 9 dt 3 lc rgb '#2ca02c'"
add "$work/sat-relay.dat" "relay deliveries/s (sat)" x1y1 "lw 2 pt 6 dt 2 lc rgb '#1f77b4'"
add "$work/lat-zanthd.dat" "zanthd p99 ms (lat, ${offered:-?}/s offered)" x1y2 "lw 2 pt 5 lc rgb '#d62728'"
add "$work/lat-ngircd.dat" "ngIRCd p99 ms (lat)" x1y2 "lw 2 pt 8 dt 3 lc rgb '#ff7f0e'"
add "$work/lat-relay.dat" "relay p99 ms (lat)" x1y2 "lw 2 pt 4 dt 2 lc rgb '#d62728'"
[ ${#plots[@]} -gt 0 ] || { echo "plot.sh: no sat or lat lines in $results" >&2; exit 1; }
joined=$(IFS=,; echo "${plots[*]}")

gnuplot <<PLOT
set terminal pngcairo size 900,600 font "sans,10"
set output "$png"
set title "Room fan-out, all clients in one room"
set xlabel "clients"
set ylabel "deliveries per second"
set y2label "p99 delay (ms)"
set logscale x 2
set logscale y2 10
set format y "%.1s%c"
set ytics nomirror
set y2tics
set yrange [0:*]
set grid xtics ytics
set key below
plot $joined
PLOT
echo "plot.sh: wrote $png"
