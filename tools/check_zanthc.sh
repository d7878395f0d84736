#!/usr/bin/env bash
# Loopback check of zanthc: starts zanthd in a temporary HOME, lets one
# zanthc listen while another one talks and whispers, checks that the
# listener showed every line, then runs scripted checks: account management,
# moderation of the whisper target, and the exit statuses.
# Usage: check_zanthc.sh ZANTHD ZANTHC
set -u

zanthd=${1:?usage: check_zanthc.sh ZANTHD ZANTHC}
chat=${2:?usage: check_zanthc.sh ZANTHD ZANTHC}
work=$(mktemp -d "${TMPDIR:-/tmp}/zanthc-check.XXXXXX")
server_pid=""
listener_pid=""
victim_pid=""

cleanup() {
  exec 3>&- 4>&-
  for pid in "$listener_pid" "$victim_pid" "$server_pid"; do
    if [ -n "$pid" ]; then kill "$pid" 2>/dev/null; fi
  done
  for pid in "$listener_pid" "$victim_pid" "$server_pid"; do
    if [ -n "$pid" ]; then wait "$pid" 2>/dev/null; fi
  done
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAIL: $*"
  for f in listener.out talker.out accounts.out victim.out kill.out; do
    if [ -f "$work/$f" ]; then echo "--- $f"; cat "$work/$f"; fi
  done
  exit 1
}

# wait_for FILE TEXT TENTHS: true once FILE holds TEXT, polled every 0.1 s.
wait_for() {
  local i
  for ((i = 0; i < $3; i++)); do
    if grep -qF -- "$2" "$1" 2>/dev/null; then return 0; fi
    sleep 0.1
  done
  return 1
}

data="$work/home/Documents/My Zanth"
mkdir -p "$data/media"
# Ports below the usual ephemeral range; a port taken by someone else makes
# the server stop at once, and the next attempt picks others.
started=0
for attempt in 1 2 3 4 5; do
  port=$((20000 + RANDOM % 12000))
  http_port=$((port + 1))
  cat > "$data/zanth.conf" <<EOF
<?xml version="1.0"?>
<zanthd>
  <sitename address="127.0.0.1" port="$port" httpport="$http_port">Check Site</sitename>
  <baseurl src="$data/media/">http://127.0.0.1:$http_port/</baseurl>
  <room id="100" name="gate" gate="yes" desc="gate.rmd" src="gate.rmd"/>
  <room id="101" name="timeout" timeout="yes" hidden="yes" staff="yes" desc="t.rmd" src="t.rmd"/>
  <room id="102" name="the plaza" desc="p.rmd" src="p.rmd"/>
</zanthd>
EOF
  rm -f "$data/zanth.log"
  HOME="$work/home" "$zanthd" --headless > "$work/server.out" 2>&1 &
  server_pid=$!
  for ((i = 0; i < 100; i++)); do
    if grep -q "Listening socket established" "$data/zanth.log" 2>/dev/null; then
      started=1
      break
    fi
    if ! kill -0 "$server_pid" 2>/dev/null; then break; fi
    sleep 0.1
  done
  [ "$started" = 1 ] && break
  kill "$server_pid" 2>/dev/null
  wait "$server_pid" 2>/dev/null
  server_pid=""
done
[ "$started" = 1 ] || fail "zanthd did not start"

# The listener's input stays open, and empty, until descriptor 3 closes.
mkfifo "$work/listener.in"
"$chat" "127.0.0.1:$port" --name Bob < "$work/listener.in" \
  > "$work/listener.out" 2>&1 &
listener_pid=$!
exec 3> "$work/listener.in"
wait_for "$work/listener.out" "*** Nobody else is here" 100 || fail "the listener did not sign on"

printf 'hello from alice\n/w Bob psst bob\nsecond line\n/quit\n' |
  timeout 15 "$chat" "127.0.0.1:$port" --name Alice > "$work/talker.out" 2>&1 ||
  fail "the talker failed"

for line in "*** Alice arrives" "<Alice> hello from alice" "(whisper) <Alice> psst bob" \
            "<Alice> second line" "*** Alice leaves"; do
  wait_for "$work/listener.out" "$line" 50 || fail "the listener did not show: $line"
done
for line in "*** Here: Bob" "<Alice> hello from alice" "(whisper) <Alice> psst bob" \
            "<Alice> second line"; do
  grep -qF -- "$line" "$work/talker.out" || fail "the talker did not show: $line"
done
# Closing its input makes the listener leave by itself.
exec 3>&-
for ((i = 0; i < 50; i++)); do
  kill -0 "$listener_pid" 2>/dev/null || break
  sleep 0.1
done
kill -0 "$listener_pid" 2>/dev/null && fail "the listener did not leave when its input ended"
wait "$listener_pid" || fail "the listener exited with an error"
listener_pid=""

# Scripted: a line said comes back; a server command is answered; a text
# that never comes fails within the timeout; /go by name changes room.
timeout 20 "$chat" "127.0.0.1:$port" --name Carol --say "is anyone there" \
  --expect "<Carol> is anyone there" > "$work/script.out" 2>&1 || fail "the scripted echo failed"
timeout 20 "$chat" "127.0.0.1:$port" --name Dan --say "/go the plaza" --expect "You are in the plaza" \
  > "$work/go.out" 2>&1 || fail "/go by name failed: $(cat "$work/go.out")"
if timeout 20 "$chat" "127.0.0.1:$port" --name Eve --expect "never said" --timeout 1 \
  > "$work/miss.out" 2>&1; then
  fail "a missing text was reported as shown"
fi
grep -qF "not shown within 1 s: never said" "$work/miss.out" || fail "no report of the missing text"

# Accounts, managed by the default owner account: added, moved to another
# group, given a new password, listed in the server's order (the new one
# first), signed on with, deleted. The server's file follows each change.
owner=(--account Lord --password 'Velk*Baron' --name Owner)
timeout 30 "$chat" "127.0.0.1:$port" "${owner[@]}" --say "/account add ann Knight s3cret" \
  --say "/account group ann Lord" --say "/account password ann new pass" --say "/accounts" \
  > "$work/accounts.out" 2>&1 || fail "the account changes failed"
for line in "*** Account ann added, group Knight (3)" "*** Account ann is now in group Lord (2)" \
            "*** The password of ann is changed"; do
  grep -qF -- "$line" "$work/accounts.out" || fail "the owner was not told: $line"
done
listed=$(grep -A2 -F "*** 2 accounts, newest first:" "$work/accounts.out" | tail -n 2)
[ "$listed" = "$(printf '  ann: group Lord (2)\n  Lord: group Lord (2)')" ] ||
  fail "the account list is not ann, then Lord"
grep -qF "<name>ann</name>" "$data/passwds" || fail "passwds does not hold the new account"
timeout 20 "$chat" "127.0.0.1:$port" --account ann --password "new pass" --name Ann \
  --expect "You now have Lord privileges" > "$work/ann.out" 2>&1 ||
  fail "the new account's new password did not sign on: $(cat "$work/ann.out")"
timeout 20 "$chat" "127.0.0.1:$port" --account ann --password s3cret --name Ann \
  --expect "Invalid name or password" > "$work/old.out" 2>&1 || fail "the old password still works"
timeout 20 "$chat" "127.0.0.1:$port" "${owner[@]}" --say "/account delete ann" \
  --expect "*** Account ann deleted" > "$work/delete.out" 2>&1 ||
  fail "the account was not deleted: $(cat "$work/delete.out")"
if grep -qF "<name>ann</name>" "$data/passwds"; then fail "passwds still holds ann"; fi
timeout 20 "$chat" "127.0.0.1:$port" --account ann --password "new pass" --name Ann \
  --expect "Invalid name or password" > "$work/gone.out" 2>&1 || fail "the deleted account still works"
# Without the privilege the command fails, and the exit status says so.
if timeout 20 "$chat" "127.0.0.1:$port" --name Guest --say /accounts > "$work/guest.out" 2>&1; then
  fail "a refused account command exited 0"
fi
grep -qF "You do not have console permission" "$work/guest.out" || fail "no refusal for a guest"

# Moderation acts on the whisper target: without one zanthc says so; with
# /w Vic the kill reaches Vic, whose zanthc then exits 1 because the server
# ended its connection. --linger keeps the owner long enough to show the
# staff notice that answers the last line.
mkfifo "$work/victim.in"
"$chat" "127.0.0.1:$port" --name Vic < "$work/victim.in" > "$work/victim.out" 2>&1 &
victim_pid=$!
exec 4> "$work/victim.in"
wait_for "$work/victim.out" "*** You are in" 100 || fail "Vic did not sign on"
timeout 20 "$chat" "127.0.0.1:$port" "${owner[@]}" --say "'kill" --say "/w Vic" --say "'kill" \
  --linger 2 > "$work/kill.out" 2>&1 || fail "the owner's moderation run failed"
grep -qF "*** 'kill acts on the whisper target, and there is none" "$work/kill.out" ||
  fail "no local message for a moderation command without a target"
grep -qF "*** Vic banned by Owner" "$work/kill.out" || fail "the kill's notice was not shown"
for ((i = 0; i < 50; i++)); do
  kill -0 "$victim_pid" 2>/dev/null || break
  sleep 0.1
done
kill -0 "$victim_pid" 2>/dev/null && fail "Vic's zanthc did not end with its connection"
wait "$victim_pid"
status=$?
victim_pid=""
[ "$status" = 1 ] || fail "Vic's zanthc exited $status when the server ended its connection"
grep -qF "zanthc: the server ended the connection" "$work/victim.out" ||
  fail "Vic's zanthc did not say that the server ended the connection"

# A host name that cannot be resolved (an empty label, which the resolver
# refuses without asking a name server).
"$chat" "no..such.host:$port" --say hi > "$work/host.out" 2>&1
status=$?
[ "$status" = 1 ] || fail "an unresolvable host gave exit status $status"
grep -qF "zanthc: cannot resolve the host name no..such.host" "$work/host.out" ||
  fail "no message for an unresolvable host: $(cat "$work/host.out")"
echo "PASS"
