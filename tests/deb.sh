#!/bin/sh
# Builds the .deb from the build directory $1, installs it on this machine,
# runs it from PATH (a short record stopped by SIGTERM, rtpinfo on it, the
# man page), and removes it again, also when a step fails.
set -eu
build=$(cd "$1" && pwd)

if dpkg-query -W -f '${Status}' confrec 2>/dev/null | grep -q 'ok installed'; then
  echo "deb: a confrec package is already installed; not touching it" >&2
  exit 1
fi
out=$(cd "$build" && rm -f confrec_*.deb && cpack -G DEB 2>&1) || { echo "$out" >&2; exit 1; }
deb=$(ls "$build"/confrec_*.deb)
dpkg-deb -f "$deb" Depends | grep -q 'libc6' || { echo "deb: no Depends on libc6" >&2; exit 1; }

work=$(mktemp -d)
pid=""
cleanup() {
  [ -n "$pid" ] && kill "$pid" 2>/dev/null
  dpkg -P confrec >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP
fail() { echo "deb: $*" >&2; exit 1; }

dpkg -i "$deb" >/dev/null
cd "$work"
[ "$(command -v confrec)" = /usr/bin/confrec ] || fail "confrec is not on PATH from /usr/bin"
status=0
confrec 2>err || status=$?
[ "$status" = 1 ] && grep -q '^Usage: confrec ' err || fail "confrec without options: status $status"

port=$((20000 + $$ % 10000 * 2))
confrec -r -c t -a 127.0.0.1/$port 2>err &
pid=$!
i=0
while [ "$(stat -c %s t.0.a.rtp 2>/dev/null || echo 0)" -lt 40 ] && [ $i -lt 100 ]; do
  sleep 0.05
  i=$((i + 1))
done
kill -TERM "$pid"
status=0
wait "$pid" || status=$?
pid=""
[ "$status" = 0 ] || fail "record run: status $status: $(cat err)"
grep -qx 'SessionsRecorded = 1' t.cf || fail "session not counted"
rtpinfo -c t >info || fail "rtpinfo: $(cat info)"
grep -q '0 RTP, 0 RTCP' info || fail "rtpinfo: $(cat info)"

# Images without man pages (dpkg path-exclude) install none to find.
if command -v man >/dev/null && [ -e /usr/share/man/man1/confrec.1 ]; then
  man -w confrec >/dev/null || fail "man -w confrec finds no page"
fi

dpkg -P confrec >/dev/null
[ ! -e /usr/bin/confrec ] && ! dpkg-query -W confrec >/dev/null 2>&1 || fail "confrec still installed after removal"
echo "deb: $(basename "$deb") installed, run and removed"
