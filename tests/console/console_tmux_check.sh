#!/usr/bin/env bash
# End-to-end check of the terminal console, as a person would use it: runs
# zanthd in a detached tmux session with a temporary HOME, reads the screen
# and the menus, renames the site and stores a port of letters through the
# options dialog, and leaves through the menu; then starts it again and
# stops it with Ctrl+C, and once more and hangs up on it; then meets a port
# in use and a new site.
# Usage: console_tmux_check.sh ZANTHD
# Exits 77 (skipped) when tmux is not installed.
set -u

zanthd=${1:?usage: console_tmux_check.sh ZANTHD}
if ! command -v tmux > /dev/null 2>&1; then
  echo "SKIP: tmux is not installed; scripts/install-deps installs it"
  exit 77
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/zanth-console-check.XXXXXX")
data="$work/home/Documents/My Zanth"
conf="$data/zanth.conf"
status="$work/status"

# A tmux server of our own, without the user's configuration; a fresh one
# for each attempt to start.
socket="$work/tmux.0"
tm() { tmux -S "$socket" -f /dev/null "$@"; }
screen() { tm capture-pane -p -t console 2> /dev/null; }

cleanup() {
  tm kill-server 2> /dev/null
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*"
  echo "--- screen"
  screen
  echo "--- zanth.log"
  cat "$data/zanth.log" 2> /dev/null
  exit 1
}

# wait_screen PATTERN: true once the screen matches the extended regular
# expression, polled every 0.1 s for at most 10 s.
wait_screen() {
  local i
  for ((i = 0; i < 100; i++)); do
    if screen | grep -qE -- "$1"; then return 0; fi
    sleep 0.1
  done
  return 1
}

# wait_screen_without PATTERN: the same, until the screen no longer matches.
wait_screen_without() {
  local i
  for ((i = 0; i < 100; i++)); do
    if ! screen | grep -qE -- "$1"; then return 0; fi
    sleep 0.1
  done
  return 1
}

# wait_status WHEN: waits at most 10 s for zanthd's exit status, and fails
# unless it is 0.
wait_status() {
  local i
  for ((i = 0; i < 100; i++)); do
    [ -f "$status" ] && break
    sleep 0.1
  done
  [ -f "$status" ] || fail "zanthd did not end $1"
  [ "$(cat "$status")" = 0 ] || fail "zanthd ended $1 with status $(cat "$status")"
}

write_conf() {
  cat > "$conf" << EOF2
<?xml version="1.0"?>
<zanthd>
  <sitename address="127.0.0.1" port="$port" httpport="$http_port" httpsport="$https_port" hidden="yes">Console Site</sitename>
  <baseurl src="$data/media/">http://127.0.0.1:$http_port/</baseurl>
  <room id="100" name="gate" gate="yes" desc="gate.rmd" src="gate.rmd"/>
</zanthd>
EOF2
}

mkdir -p "$data/media"
# Ports below the usual ephemeral range; a port taken by someone else makes
# the server stop at once, and the next attempt picks others. The hidden site
# keeps the directory client off the network.
started=0
for attempt in 1 2 3 4 5; do
  port=$((20000 + RANDOM % 12000))
  http_port=$((port + 1))
  https_port=$((port + 2))
  write_conf
  rm -f "$data/zanth.log" "$status"
  socket="$work/tmux.$attempt"
  tm new-session -d -s console -x 100 -y 30 \
    "HOME='$work/home' '$zanthd'; echo \$? > '$status'; sleep 30"
  for ((i = 0; i < 100; i++)); do
    if grep -q "Listening socket established" "$data/zanth.log" 2> /dev/null; then
      started=1
      break
    fi
    [ -f "$status" ] && break
    sleep 0.1
  done
  [ "$started" = 1 ] && break
  tm kill-server 2> /dev/null
done
[ "$started" = 1 ] || fail "zanthd did not start"

# The band: the version, then the four settings with their labels, and the
# HTTPS port of a site that has one.
wait_screen "Zanth Personal Server for Windows 1\.2b3 build 192" || fail "no version in the band"
wait_screen "Zanth Name: +Console Site" || fail "no site name in the band"
wait_screen "Address: +127\.0\.0\.1" || fail "no address in the band"
wait_screen "Zanth port: +$port\b" || fail "no chat port in the band"
wait_screen "HTTP port: +$http_port\b" || fail "no HTTP port in the band"
wait_screen "HTTPS port: +$https_port\b" || fail "no HTTPS port in the band"
# The log view: lines logged since the console appeared.
wait_screen "main Bind Address 127\.0\.0\.1 $port" || fail "no log lines on the screen"
wait_screen "main Listening socket established" || fail "no log lines on the screen"
title=$(tm display-message -p -t console '#{pane_title}')
[ "$title" = "The Zanth Server" ] || fail "the terminal title is '$title'"

# The menus show only the shortcuts that work on this screen: Ctrl+C stops
# the server here, so it is Exit's, and the Edit menu's Cut, Copy and
# Paste, which work only in the options dialog's fields, show none.
tm send-keys -t console F10
wait_screen "Exit +Ctrl\+C" || fail "F10 did not open the File menu with Exit on Ctrl+C"
tm send-keys -t console Right
wait_screen "Options\.\.\." || fail "Right did not open the Edit menu"
wait_screen "Copy" || fail "the Edit menu has no Copy"
screen | grep -qE "Ctrl\+[XCV]" && fail "the Edit menu shows a shortcut that does not work here"

# Edit > Options... with the keys; the dialog lists its fields' keys, and
# Ctrl+X empties the name field.
tm send-keys -t console o
wait_screen "Zanth name: +Console Site" || fail "the options dialog did not open"
wait_screen "\[ Save \]  \[ Cancel \]" || fail "the options dialog has no buttons"
wait_screen "Ctrl\+X cut  Ctrl\+C copy  Ctrl\+V paste" || fail "the options dialog does not list its keys"
[ "$(screen | grep -cE "HTTPS port: +$https_port\b")" = 2 ] ||
  fail "the options dialog has no HTTPS port field"
tm send-keys -t console C-x
tm send-keys -t console -l "Renamed By Keys"
tm send-keys -t console Enter
wait_screen "Zanth Name: +Renamed By Keys" || fail "the band did not show the new name"
wait_screen_without "\[ Save \]" || fail "the options dialog did not close"
screen | grep -q "Changes will take effect" && fail "a new name alone showed the restart notice"
grep -q ">Renamed By Keys</sitename>" "$conf" || fail "zanth.conf does not hold the new name"

# Letters as the chat port: stored as 0, written, and the restart notice.
tm send-keys -t console F10 e o
wait_screen "\[ Save \]" || fail "the options dialog did not open again"
tm send-keys -t console Tab Tab C-x
tm send-keys -t console -l "abc"
tm send-keys -t console Enter
wait_screen "Changes will take effect next time the server is started\." ||
  fail "no restart notice after a port change"
grep -q "port=\"0\"" "$conf" || fail "zanth.conf does not hold port 0"
tm send-keys -t console Enter
wait_screen_without "Changes will take effect" || fail "the notice did not go"
wait_screen "Zanth port: +0\b" || fail "the band did not show port 0"

# File > Exit ends the server normally.
tm send-keys -t console F10 x
wait_status "after File > Exit"

# start_again NAME: starts zanthd once more in a fresh tmux server named
# NAME, on the same site, and waits for its console.
pid_file="$work/zanthd.pid"
starts=1
start_again() {
  write_conf
  rm -f "$status"
  tm kill-server 2> /dev/null
  socket="$work/tmux.$1"
  starts=$((starts + 1))
  tm new-session -d -s console -x 100 -y 30 \
    "sh -c 'echo \$\$ > \"$pid_file\"; exec env HOME=\"$work/home\" \"$zanthd\"'; echo \$? > '$status'; sleep 30"
  for ((i = 0; i < 100; i++)); do
    [ "$(grep -c "Listening socket established" "$data/zanth.log")" -ge "$starts" ] && break
    sleep 0.1
  done
  [ "$(grep -c "Listening socket established" "$data/zanth.log")" -ge "$starts" ] ||
    fail "zanthd did not start again"
  wait_screen "main Listening socket established" || fail "no console after the restart"
}

# Ctrl+C on the main screen stops the server normally, also with a menu
# open.
start_again interrupt
tm send-keys -t console F10 Right
wait_screen "Options\.\.\." || fail "the Edit menu did not open"
tm send-keys -t console C-c
wait_status "on Ctrl+C"

# With the console, SIGHUP is the terminal going away: the server stops
# normally rather than reopen its log as a headless one does.
start_again hangup
kill -HUP "$(cat "$pid_file")" || fail "no zanthd to hang up on"
wait_status "on SIGHUP"
grep -q "Log file reopened" "$data/zanth.log" && fail "the console's zanthd reopened its log"

# console_for_site NAME DIR: zanthd with its console for the site in DIR, in
# a fresh tmux server; its exit status goes to $status.
console_for_site() {
  rm -f "$status"
  tm kill-server 2> /dev/null
  socket="$work/tmux.$1"
  tm new-session -d -s console -x 130 -y 40 \
    "HOME='$work/home' '$zanthd' --data-dir '$2'; echo \$? > '$status'; sleep 30"
}

# A port that cannot be opened ends the console's server with status 1, and
# the terminal it gives back says where and why. A headless server of the
# first site holds the ports; a second site (--data-dir) asks for the same.
write_conf
HOME="$work/home" "$zanthd" --headless > /dev/null 2>&1 &
holder=$!
for ((i = 0; i < 100; i++)); do
  [ "$(grep -c "Listening socket established" "$data/zanth.log")" -gt "$starts" ] && break
  sleep 0.1
done
[ "$(grep -c "Listening socket established" "$data/zanth.log")" -gt "$starts" ] ||
  { kill "$holder"; fail "the headless zanthd did not start"; }
other="$work/other site"
mkdir -p "$other/media"
sed "s|$data|$other|g" "$conf" > "$other/zanth.conf"
console_for_site busy "$other"
for ((i = 0; i < 100; i++)); do
  [ -f "$status" ] && break
  sleep 0.1
done
kill "$holder"
wait "$holder"
[ -f "$status" ] || fail "zanthd did not end on a port in use"
[ "$(cat "$status")" = 1 ] || fail "zanthd ended on a port in use with status $(cat "$status")"
wait_screen "zanthd: cannot listen on 0\.0\.0\.0 port $port: Address already in use" ||
  fail "the terminal does not say which port could not be opened"

# A new site: the console's log view tells of the owner account's
# published password. The default ports may be taken on this machine; then
# the server ends, and only what it printed before the console is left.
fresh="$work/fresh site"
console_for_site fresh "$fresh"
for ((i = 0; i < 100; i++)); do
  grep -q "Listening socket established" "$fresh/zanth.log" 2> /dev/null && break
  [ -f "$status" ] && break
  sleep 0.1
done
notice='The owner account "Lord" has the published default password "Velk\*Baron":'
if [ -f "$status" ]; then
  wait_screen "zanthd: $notice" || fail "no word of the owner account's password"
  echo "NOTE: the default ports are taken; the new site's log view was not seen"
else
  wait_screen "main $notice" || fail "the log view does not tell of the owner account"
  wait_screen "main Web client at http://.*:8080/web/index\.html" ||
    fail "the log view does not name the browser page"
  tm send-keys -t console F10 x
fi
echo "PASS"
