#!/bin/sh
# Builds the .deb from the build directory $1 and tries it without
# installing it: unpacked into a directory of its own, it must hold the four
# programs and their manual pages, depend on libc6, and record from its own
# bin/ (a short session stopped by SIGTERM, then rtpinfo on it).
set -eu
build=$(cd "$1" && pwd)

out=$(cd "$build" && rm -f confrec_*.deb && cpack -G DEB 2>&1) || { echo "$out" >&2; exit 1; }
deb=$(ls "$build"/confrec_*.deb)
root=$(mktemp -d)
pid=""
trap '[ -n "$pid" ] && kill "$pid" 2>/dev/null; rm -rf "$root"' EXIT
trap 'exit 1' INT TERM HUP
fail() { echo "deb: $*" >&2; exit 1; }

dpkg-deb -f "$deb" Depends | grep -q 'libc6' || fail "no Depends on libc6"
dpkg-deb -x "$deb" "$root/pkg"
for tool in confrec rtpdump rtpplay rtpinfo; do
  [ -x "$root/pkg/usr/bin/$tool" ] || fail "no /usr/bin/$tool"
  [ -f "$root/pkg/usr/share/man/man1/$tool.1" ] || fail "no man page for $tool"
done
[ ! -e "$root/pkg/usr/bin/rtpgen" ] || fail "the demonstration's rtpgen is packaged"

mkdir "$root/work"
cd "$root/work"
export PATH="$root/pkg/usr/bin:$PATH"
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
echo "deb: $(basename "$deb") unpacked and run"
