#!/bin/bash
# Records a two-session conference from a synthetic RTP source on loopback,
# shows what was recorded, then plays it back from an offset to local
# receivers. Builds what it needs into build/ first.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build

need=()
command -v cmake >/dev/null || need+=(cmake)
command -v ninja >/dev/null || need+=(ninja-build)
command -v g++ >/dev/null || need+=(g++)
[ -e /usr/include/pcap/pcap.h ] || need+=(libpcap-dev)
if [ ${#need[@]} -gt 0 ]; then
  echo "== installing ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq >/dev/null
  apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi
if [ ! -f "$build/build.ninja" ]; then
  echo "== configuring $build"
  cmake -S "$root" -B "$build" -G Ninja >/dev/null
fi
echo "== building"
ninja -C "$build" confrec rtpdump rtpplay rtpinfo rtpgen >/dev/null

work=$(mktemp -d)
cleanup() {
  # Whatever of ours still runs (only after an error) goes with the files.
  for p in $(jobs -p); do kill -- "-$p" 2>/dev/null || kill "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
cd "$work"
export PATH="$build:$PATH"  # confrec finds rtpdump and rtpplay here

audio=127.0.0.1/41004 video=127.0.0.1/41006
out_audio=127.0.0.1/41104 out_video=127.0.0.1/41106

wait_for_header() {  # a recorder has bound its ports once its file has a header
  for _ in $(seq 100); do
    [ "$(stat -c %s "$1" 2>/dev/null || echo 0)" -ge 40 ] && return 0
    sleep 0.05
  done
  echo "no recorder started for $1" >&2
  return 1
}

for session in 0 1; do
  echo
  echo "== session $session: confrec -r -c demo -a $audio -v $video (no -t: until interrupted)"
  # A process group of its own, as a shell gives a foreground job.
  setsid confrec -r -c demo -a "$audio" -v "$video" &
  pid=$!
  wait_for_header "demo.$session.a.rtp"
  wait_for_header "demo.$session.v.rtp"
  rtpgen send -r 50 -t 3 -s 172 -x 1000$session "$audio" &
  rtpgen send -r 25 -t 3 -s 1200 -x 2000$session "$video" &
  wait %2 %3
  sleep 0.2
  echo "-- interrupt key (SIGINT to the process group)"
  kill -INT -- "-$pid"
  wait "$pid" || echo "confrec exited with status $?"
done

echo
echo "== demo.cf"
cat demo.cf
echo
echo "== what each session holds: rtpinfo -c demo"
rtpinfo -c demo

echo
echo "== playing from 1 s: confrec -p -c demo -o 1 -a $out_audio -v $out_video"
echo "   (a session recorded without -t counts as 1000000 minutes: the offset"
echo "   falls in session 0, which plays from 1 s, then session 1 from its start)"
rtpgen recv -t 40 -i 2 "$out_audio" >recv.a &
rtpgen recv -t 40 -i 2 "$out_video" >recv.v &
sleep 0.3
start=$(date +%s.%N)
confrec -p -c demo -o 1 -a "$out_audio" -v "$out_video"
end=$(date +%s.%N)
wait %1 %2
echo "played in $(echo "$start $end" | awk '{printf "%.1f", $2 - $1}') s; received:"
cat recv.a recv.v
