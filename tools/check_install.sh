#!/usr/bin/env bash
# Installs a build into a temporary prefix and checks what lands where: the
# server and the client, their man pages (whose options must be those of
# --help), the server's systemd user units, the browser page, and nothing
# else.
# Usage: check_install.sh CMAKE BUILD_DIR CONFIGURED_BINDIR WEB_SOURCE_DIR
set -u

cmake=${1:?usage: check_install.sh CMAKE BUILD_DIR CONFIGURED_BINDIR}
build=${2:?usage: check_install.sh CMAKE BUILD_DIR CONFIGURED_BINDIR}
bindir=${3:?usage: check_install.sh CMAKE BUILD_DIR CONFIGURED_BINDIR WEB_SOURCE_DIR}
web=${4:?usage: check_install.sh CMAKE BUILD_DIR CONFIGURED_BINDIR WEB_SOURCE_DIR}
work=$(mktemp -d "${TMPDIR:-/tmp}/zanth-install-check.XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"

fail() {
  echo "FAIL: $*"
  exit 1
}

"$cmake" --install "$build" --prefix "$prefix" > "$work/install.out" 2>&1 ||
  { cat "$work/install.out"; fail "cmake --install failed"; }

# The page's files, and only those: not the package.json of its scripts.
page=$(cd "$web" && find . -type f \( -name '*.html' -o -name '*.css' -o -name '*.js' \) |
  sed 's|^\./||' | LC_ALL=C sort)
[ -n "$page" ] || fail "no page files found in $web"
expected=$( (printf '%s\n' bin/zanthc bin/zanthd lib/systemd/user/zanthd.service \
  lib/systemd/user/zanthd@.service \
  share/doc/zanthd/README.md share/man/man1/zanthc.1.gz share/man/man1/zanthd.1.gz
  printf '%s\n' "$page" | sed 's|^|share/zanthd/web/|') | LC_ALL=C sort)
actual=$(cd "$prefix" && find . ! -type d | sed 's|^\./||' | LC_ALL=C sort)
[ "$actual" = "$expected" ] ||
  fail "installed files differ; expected:
$expected
installed:
$actual"

for f in $page; do
  cmp -s "$web/$f" "$prefix/share/zanthd/web/$f" || fail "share/zanthd/web/$f differs from $web/$f"
done

# The server: the built binary, and it runs from there.
[ -x "$prefix/bin/zanthd" ] || fail "bin/zanthd is not executable"
cmp -s "$build/zanthd" "$prefix/bin/zanthd" || fail "bin/zanthd is not the built server"
cmp -s "$build/zanthc" "$prefix/bin/zanthc" || fail "bin/zanthc is not the built client"
for program in zanthd zanthc; do
  version=$("$prefix/bin/$program" --version) || fail "$program --version failed"
  [ -n "$version" ] && [ "$version" = "$("$build/$program" --version)" ] ||
    fail "$program --version printed '$version'"
done

# The man pages: compressed, section 1 pages, each with the options that
# its program's --help prints (on standard output, with status 0).
for program in zanthd zanthc; do
  page="$prefix/share/man/man1/$program.1.gz"
  gzip -t "$page" || fail "the $program man page is no valid gzip file"
  zcat "$page" > "$work/$program.1"
  title=$(printf '%s' "$program" | tr '[:lower:]' '[:upper:]')
  grep -q "^\.TH $title 1 " "$work/$program.1" || fail "the $program man page has no section 1 title"
  help=$("$prefix/bin/$program" --help 2> /dev/null) || fail "$program --help did not exit 0"
  help_options=$(printf '%s\n' "$help" | awk '/^  --/ { print $1 }' | LC_ALL=C sort)
  # The tags of the section's paragraphs, not options named in their text.
  man_options=$(sed -n '/^\.SH OPTIONS/,/^\.SH [^O]/p' "$work/$program.1" |
    awk 'tag && /^\.BI? \\-\\-/ { gsub(/\\-/, "-", $2); print $2 } { tag = $0 == ".TP" }' |
    LC_ALL=C sort)
  [ -n "$help_options" ] || fail "$program --help lists no options on standard output"
  [ "$help_options" = "$man_options" ] ||
    fail "the $program man page's options differ from --help: man page:
$man_options
--help:
$help_options"
  if command -v mandoc > /dev/null 2>&1; then
    lint=$(mandoc -T lint -W warning "$work/$program.1" 2>&1) || fail "mandoc: $lint"
    [ -z "$lint" ] || fail "mandoc: $lint"
  fi
  if command -v groff > /dev/null 2>&1; then
    lint=$(groff -man -T utf8 -ww -z "$work/$program.1" 2>&1)
    [ -z "$lint" ] || fail "groff: $lint"
  fi
done

# The units: the installed server, headless (the template's on the data
# directory its instance names), restarted when it fails.
for name in zanthd.service zanthd@.service; do
  unit="$prefix/lib/systemd/user/$name"
  case $name in
    zanthd.service) start="ExecStart=$bindir/zanthd --headless" ;;
    *) start="ExecStart=$bindir/zanthd --headless --data-dir %h/zanth/%i" ;;
  esac
  grep -qxF "$start" "$unit" || fail "$name does not run: $start"
  grep -qx "Restart=on-failure" "$unit" || fail "$name does not restart on failure"
  grep -qx 'ExecReload=/bin/kill -HUP $MAINPID' "$unit" || fail "$name cannot reopen the log"
  grep -qx "WantedBy=default.target" "$unit" || fail "$name cannot be enabled"
  if grep -qE "@[A-Z_]+@" "$unit"; then fail "$name holds an unreplaced variable"; fi
done

echo "PASS"
