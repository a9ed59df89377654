#!/usr/bin/env bash
# CI: builds the .deb, has lintian check it (no error may stand), installs it on
# this machine with apt-get, checks the installed programs (their versions, the
# host's unit; the daemon, started with a private runtime directory, answers on
# 127.0.0.1) and the web console's files, then removes the package, also when a
# check fails.
set -euo pipefail
cd "$(dirname "$0")/.."

make package
deb=$(ls build-package/tonvik_*.deb)
# Debian's own checks of the package: an error fails CI.
lintian --fail-on error "$deb"
apt-get install -y -q --no-install-recommends -o DPkg::Lock::Timeout=600 "./$deb"

runtime=$(mktemp -d /tmp/tonvik-deb-XXXXXX)
pid=""
cleanup() {
  if [ -n "$pid" ]; then
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  fi
  rm -rf "$runtime"
  apt-get purge -y -q -o DPkg::Lock::Timeout=600 tonvik
}
trap cleanup EXIT

version=$(/usr/bin/tonvik --version)
echo "installed: $version"
[ "$version" = "tonvik $(dpkg-deb -f "$deb" Version)" ] || { echo "the package is not that version" >&2; exit 1; }
[ "$(/usr/bin/tonvik-host --version)" = "tonvik-host $(dpkg-deb -f "$deb" Version)" ] ||
  { echo "the package's tonvik-host is not that version" >&2; exit 1; }
[ -f /usr/lib/systemd/user/tonvik-host.service ] || { echo "the package has no tonvik-host.service" >&2; exit 1; }

for file in web/index.html web/main.js layouts/index.json layouts/ansi-104.json; do
  [ -f "/usr/share/tonvik/$file" ] || { echo "the package lacks /usr/share/tonvik/$file" >&2; exit 1; }
done

XDG_RUNTIME_DIR=$runtime /usr/bin/tonvik 2>"$runtime/log" &
pid=$!
# The daemon says which port it took.
port=""
for _ in $(seq 100); do
  port=$(sed -n 's/^tonvik: listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$runtime/log")
  [ -n "$port" ] && break
  sleep 0.1
done
[ -n "$port" ] || { cat "$runtime/log"; echo "the installed daemon did not listen" >&2; exit 1; }

exec 3<>"/dev/tcp/127.0.0.1/$port"
printf 'GET /api/audio/amplitude HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n' >&3
reply=$(timeout 5 cat <&3)
exec 3<&-
echo "$reply" | grep -q '"amplitude"' || { echo "no amplitude reply: $reply" >&2; exit 1; }
echo "the installed daemon answers on 127.0.0.1:$port"
