#!/usr/bin/env bash
# HTTP benchmark: zanthd serving a 4 KiB and a 1 MiB file to 2 and 50
# concurrent connections, measured with wrk (Debian package "wrk").
# Usage: bench/http_bench.sh [path/to/zanthd] [seconds]
set -euo pipefail
zanthd=${1:-build/zanthd}
seconds=${2:-5}
command -v wrk >/dev/null || { echo "http_bench: install wrk (apt-get install wrk)"; exit 1; }
home=$(mktemp -d)
trap 'kill $pid 2>/dev/null; wait $pid 2>/dev/null; rm -rf "$home"' EXIT
data="$home/Documents/My Zanth"
mkdir -p "$data/media"
chat=$((20000 + RANDOM % 10000)); http=$((chat + 1))
cat > "$data/zanth.conf" <<CONF
<?xml version="1.0"?>
<zanthd><sitename address="127.0.0.1" port="$chat" httpport="$http">Bench</sitename>
<baseurl src="$data/media/">http://127.0.0.1:$http/</baseurl></zanthd>
CONF
head -c 4096 /dev/urandom > "$data/media/small.bin"
head -c 1048576 /dev/urandom > "$data/media/large.bin"
HOME="$home" "$zanthd" --headless & pid=$!
for _ in $(seq 1 100); do grep -q "Listening socket established" "$data/zanth.log" 2>/dev/null && break; sleep 0.1; done
printf '%-10s %6s %12s %14s\n' file conns "requests/s" "transfer/s"
for file in small.bin large.bin; do
  for conns in 2 50; do
    out=$(wrk -t2 -c"$conns" -d"${seconds}s" "http://127.0.0.1:$http/$file")
    rps=$(echo "$out" | awk '/Requests\/sec/ {print $2}')
    rate=$(echo "$out" | awk '/Transfer\/sec/ {print $2}')
    printf '%-10s %6s %12s %14s\n' "$file" "$conns" "$rps" "$rate"
  done
done
