#!/usr/bin/env bash
# HTTP benchmark: wrk against zanthd's file server and against nginx (one
# worker, on loopback) serving the same media folder: a 4 KiB and a 1 MiB
# file, 2 and 50 connections, each case twice: "close" (the client asks for
# Connection: close, so every request is a new connection) and "keep-alive"
# (the client would keep its connections; nginx does, zanthd closes after
# every answer as it always does, so wrk connects anew). Prints a table and
# one JSON line per case (zanthd's figures over nginx's, and the p50 and p99
# of each).
#
# The same cases run over HTTPS (--scheme): both servers present one
# certificate, made for the run by a throwaway authority (an EC P-256 key,
# issued through an intermediate and sent as a full chain), offer TLS 1.2
# and 1.3 with OpenSSL's default ciphers (TLS 1.3, TLS_AES_256_GCM_SHA384
# and X25519 with wrk) and keep OpenSSL's and nginx's defaults for
# sessions: both send TLS 1.3 session tickets. wrk offers the ticket of a
# connection's last session when it connects again, and both servers take
# it, so after the first handshake of each of wrk's connections every new
# connection resumes (a key exchange, no certificate, no signature) on
# either server alike.
#
# usage: bench/http.sh [--zanthd PATH] [--seconds S] [--out FILE] [--cpu SERVER,WRK]
#                      [--scheme http|https|both]
# Installs wrk and nginx (Debian packages) when they are missing.
set -euo pipefail

zanthd=build/zanthd
seconds=5
out=""
server_cpu=1
wrk_cpu=0
scheme=both
usage="usage: $0 [--zanthd PATH] [--seconds S] [--out FILE] [--cpu SERVER,WRK] [--scheme http|https|both]"
while [ $# -gt 0 ]; do
  case "$1" in
    --zanthd) zanthd=$2; shift 2 ;;
    --seconds) seconds=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    --cpu) server_cpu=${2%,*}; wrk_cpu=${2#*,}; shift 2 ;;
    --scheme) scheme=$2; shift 2 ;;
    *) echo "$usage" >&2; exit 2 ;;
  esac
done
case "$scheme" in
  http) schemes=(http) ;;
  https) schemes=(https) ;;
  both) schemes=(http https) ;;
  *) echo "$usage" >&2; exit 2 ;;
esac
[ -x "$zanthd" ] || { echo "http.sh: no server at $zanthd (make build)" >&2; exit 1; }

# The tools, from Debian, as scripts/install-deps installs the build's.
missing=()
command -v wrk >/dev/null || missing+=(wrk)
[ -x /usr/sbin/nginx ] || missing+=(nginx-light)
if [ ${#missing[@]} -gt 0 ]; then
  echo "http.sh: installing ${missing[*]}" >&2
  sudo=""
  if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -q >&2
  $sudo apt-get install -y -q --no-install-recommends "${missing[@]}" >&2
  # The package starts a site on port 80; this benchmark needs none of it.
  if command -v systemctl >/dev/null && systemctl is-active -q nginx 2>/dev/null; then
    $sudo systemctl stop nginx || true
  fi
fi
# pin CPU COMMAND...: becomes the command, on one processor when there are
# two. Call it in a subshell or in the background.
pin() {
  local cpu=$1; shift
  if [ "$(nproc)" -ge 2 ] && [ "$cpu" -ge 0 ] && command -v taskset >/dev/null; then
    exec taskset -c "$cpu" "$@"
  fi
  exec "$@"
}

home=$(mktemp -d)
zpid=""
npid=""
cleanup() {
  [ -n "$zpid" ] && kill "$zpid" 2>/dev/null && wait "$zpid" 2>/dev/null
  [ -n "$npid" ] && kill "$npid" 2>/dev/null && wait "$npid" 2>/dev/null
  rm -rf "$home"
}
trap cleanup EXIT

data="$home/Documents/My Zanth"
media="$data/media"
mkdir -p "$media" "$home/nginx"
head -c 4096 /dev/urandom > "$media/small.bin"
head -c 1048576 /dev/urandom > "$media/large.bin"
# nginx's worker runs as another user; it must be able to read the files.
chmod -R a+rX "$home"

free_port() {  # a port in 20000-31999 that nothing listens on
  local port
  for _ in $(seq 1 50); do
    port=$((20000 + RANDOM % 12000))
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then echo "$port"; return; fi
  done
  echo "http.sh: no free port" >&2; exit 1
}

# The certificate both servers present (localhost and 127.0.0.1).
tls="$home/tls"
mkdir -p "$tls"
"$(dirname "$0")/../tests/support/make_test_certs.sh" "$tls" >/dev/null 2>&1 ||
  { echo "http.sh: cannot make the certificates (openssl)" >&2; exit 1; }
chmod -R a+rX "$tls"

chat=$(free_port); zhttp=$(free_port); nhttp=$(free_port); zhttps=$(free_port); nhttps=$(free_port)
cat > "$data/zanth.conf" <<CONF
<?xml version="1.0"?>
<zanthd><sitename address="127.0.0.1" port="$chat" httpport="$zhttp" httpsport="$zhttps">Bench</sitename>
<tls cert="$tls/server.pem" key="$tls/server.key"/>
<baseurl src="$media/">http://127.0.0.1:$zhttp/</baseurl></zanthd>
CONF
HOME="$home" pin "$server_cpu" "$zanthd" --headless >/dev/null 2>&1 & zpid=$!
for _ in $(seq 1 100); do
  grep -q "Listening socket established" "$data/zanth.log" 2>/dev/null && break
  sleep 0.1
done
grep -q "Listening socket established" "$data/zanth.log" || { echo "http.sh: zanthd did not start" >&2; exit 1; }
grep -q "HTTPS on port" "$data/zanth.log" ||
  { echo "http.sh: zanthd did not open its HTTPS port" >&2; grep -i tls "$data/zanth.log" >&2; exit 1; }

# nginx as a file server should be: one worker (zanthd has one thread),
# sendfile, no logging; keep-alive when the client asks for it. Over TLS it
# keeps its defaults too: no shared session cache, session tickets on, as
# OpenSSL's defaults give zanthd tickets and an internal cache.
cat > "$home/nginx/nginx.conf" <<CONF
worker_processes 1;
daemon off;
pid $home/nginx/nginx.pid;
error_log $home/nginx/error.log warn;
events { worker_connections 1024; }
http {
  access_log off;
  sendfile on;
  tcp_nopush on;
  keepalive_timeout 65;
  keepalive_requests 1000000;
  types { application/octet-stream bin; }
  client_body_temp_path $home/nginx/body;
  proxy_temp_path $home/nginx/proxy;
  fastcgi_temp_path $home/nginx/fastcgi;
  uwsgi_temp_path $home/nginx/uwsgi;
  scgi_temp_path $home/nginx/scgi;
  server {
    listen 127.0.0.1:$nhttp;
    root "$media";
  }
  server {
    listen 127.0.0.1:$nhttps ssl;
    ssl_certificate "$tls/server.pem";
    ssl_certificate_key "$tls/server.key";
    ssl_protocols TLSv1.2 TLSv1.3;
    root "$media";
  }
}
CONF
pin "$server_cpu" /usr/sbin/nginx -p "$home/nginx" -c "$home/nginx/nginx.conf" 2>"$home/nginx/start.log" & npid=$!
for _ in $(seq 1 50); do
  (exec 3<>"/dev/tcp/127.0.0.1/$nhttp") 2>/dev/null && break
  kill -0 "$npid" 2>/dev/null || break
  sleep 0.1
done
for port in $zhttp $nhttp; do
  curl_like=$( (exec 3<>"/dev/tcp/127.0.0.1/$port" && printf 'GET /small.bin HTTP/1.0\r\n\r\n' >&3 && head -c 12 <&3) 2>/dev/null || true)
  case "$curl_like" in
    "HTTP/1."*" 200"*|"HTTP/1.1 200"|"HTTP/1.0 200") ;;
    *) echo "http.sh: the server on port $port does not serve the file" >&2
       cat "$home/nginx/start.log" "$home/nginx/error.log" 2>/dev/null >&2; exit 1 ;;
  esac
done

# Both HTTPS ports serve the file under the certificate of the authority.
for port in $zhttps $nhttps; do
  if ! curl -sS -o /dev/null --cacert "$tls/ca.pem" "https://127.0.0.1:$port/small.bin"; then
    echo "http.sh: the server on port $port does not serve the file over HTTPS" >&2
    cat "$home/nginx/start.log" "$home/nginx/error.log" 2>/dev/null >&2; exit 1
  fi
done

# cpu_ticks PID: CPU clock ticks (user + system) of a process and its
# children that run (nginx's worker).
cpu_ticks() {
  local total=0 p
  for p in "$1" $(pgrep -P "$1"); do
    total=$((total + $(awk '{ print $14 + $15 }' "/proc/$p/stat" 2>/dev/null || echo 0)))
  done
  echo "$total"
}
hz=$(getconf CLK_TCK)

# run_wrk URL CONNS MODE SERVER_PID: prints "requests/s bytes/s errors
# p50_ms p99_ms server_cpu_us_per_request"
run_wrk() {
  local text header=() before after
  [ "$3" = close ] && header=(-H "Connection: close")
  before=$(cpu_ticks "$4")
  text=$(pin "$wrk_cpu" wrk -t1 -c"$2" -d"${seconds}s" --timeout 30s --latency "${header[@]}" "$1")
  after=$(cpu_ticks "$4")
  echo "$text" | awk -v ticks=$((after - before)) -v hz="$hz" '
    function bytes(v) {
      if (v ~ /GB$/) return v * 1073741824; if (v ~ /MB$/) return v * 1048576;
      if (v ~ /KB$/) return v * 1024; return v + 0 }
    function ms(v) {
      if (v ~ /us$/) return v / 1000; if (v ~ /ms$/) return v + 0;
      if (v ~ /m$/) return v * 60000; if (v ~ /s$/) return v * 1000; return v + 0 }
    /Requests\/sec/ { rps = $2 }
    /Transfer\/sec/ { rate = bytes($2) }
    /Socket errors/ { gsub(/,/, ""); errors += $4 + $6 + $8 + $10 }
    /Non-2xx/ { errors += $NF }
    $1 == "50%" { p50 = ms($2) }
    $1 == "99%" { p99 = ms($2) }
    /requests in/ { requests = $1 }
    END { printf "%s %.0f %d %.3f %.3f %.1f\n", rps, rate, errors, p50, p99,
                 (requests > 0 ? 1e6 * ticks / hz / requests : 0) }'
}

printf '%-6s %-10s %-10s %5s %11s %11s %10s %10s %7s %15s %15s %13s %7s\n' scheme file mode conns \
  "zanthd r/s" "nginx r/s" "zanthd MB/s" "nginx MB/s" ratio "zanthd p50/p99" "nginx p50/p99" \
  "CPU us/req z/n" errors
[ -n "$out" ] && : >> "$out"
for proto in "${schemes[@]}"; do
  if [ "$proto" = https ]; then zport=$zhttps; nport=$nhttps; else zport=$zhttp; nport=$nhttp; fi
  for file in small.bin large.bin; do
    size=$(stat -c %s "$media/$file")
    for mode in close keep-alive; do
      for conns in 2 50; do
        read -r zr zb ze z50 z99 zc < <(run_wrk "$proto://127.0.0.1:$zport/$file" "$conns" "$mode" "$zpid")
        read -r nr nb ne n50 n99 nc < <(run_wrk "$proto://127.0.0.1:$nport/$file" "$conns" "$mode" "$npid")
        ratio=$(awk -v a="$zr" -v b="$nr" 'BEGIN { printf "%.3f", (b > 0 ? a / b : 0) }')
        printf '%-6s %-10s %-10s %5s %11.0f %11.0f %10.1f %10.1f %7s %15s %15s %13s %7s\n' "$proto" \
          "$file" "$mode" "$conns" "$zr" "$nr" \
          "$(awk -v v="$zb" 'BEGIN { print v / 1048576 }')" "$(awk -v v="$nb" 'BEGIN { print v / 1048576 }')" \
          "$ratio" "$z50/$z99" "$n50/$n99" "$zc/$nc" "$ze/$ne"
        json=$(printf '{"scenario":"http","scheme":"%s","file_bytes":%s,"mode":"%s","connections":%s,"seconds":%s,"zanthd_requests_per_s":%s,"nginx_requests_per_s":%s,"zanthd_bytes_per_s":%s,"nginx_bytes_per_s":%s,"zanthd_p50_ms":%s,"zanthd_p99_ms":%s,"nginx_p50_ms":%s,"nginx_p99_ms":%s,"zanthd_cpu_us_per_request":%s,"nginx_cpu_us_per_request":%s,"zanthd_errors":%s,"nginx_errors":%s,"vs_nginx":%s}' \
          "$proto" "$size" "$mode" "$conns" "$seconds" "$zr" "$nr" "$zb" "$nb" "$z50" "$z99" "$n50" "$n99" "$zc" "$nc" "$ze" "$ne" "$ratio")
        echo "$json"
        [ -n "$out" ] && echo "$json" >> "$out"
      done
    done
  done
done
