#!/bin/sh
# Speed of the AAC encoder against ffmpeg's own AAC encoder on the same 5 minutes of
# 44.1 kHz stereo, for two signals (pink noise beside a tone; the corpus' speech, bursts and
# tone mix repeated): CPU time of both (ffmpeg on one thread), the per-frame figures and the
# worst single aacenc_encode call of aac_speed (raw, and the worst of each frame's least time
# over three runs), and callgrind instructions per frame counted
# inside aacenc_encode over the first 400 frames.
# Usage: speed.sh BUILD_DIR [bitrate]
set -eu
build=$1
br=${2:-128000}
here=$(cd "$(dirname "$0")" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
sox -R -n -r 44100 -c 2 -b 16 "$tmp/noise.wav" synth 300 pinknoise sine 440 gain -10 2>/dev/null
python3 "$here/corpus.py" "$tmp" 44100 10 music2 >/dev/null
sox -R "$tmp/music2_44100.wav" "$tmp/mix.wav" repeat 29 2>/dev/null
for sig in noise mix; do
  in="$tmp/$sig.wav"
  echo "== $sig: $(soxi -D "$in") s, 44.1 kHz stereo, $br bit/s"
  /usr/bin/time -f "ours (aacenc_wav): user %U s, sys %S s" "$build/bin/aacenc_wav" -b "$br" "$in" "$tmp/o.aac"
  /usr/bin/time -f "ffmpeg -c:a aac: user %U s, sys %S s" ffmpeg -nostdin -v error -threads 1 -y -i "$in" \
    -c:a aac -b:a "$br" "$tmp/f.aac"
  "$build/bench/aac_speed" "$in" "$br"
  if command -v valgrind >/dev/null; then
    valgrind --tool=callgrind --toggle-collect=aacenc_encode --callgrind-out-file="$tmp/cg" \
      "$build/bench/aac_speed" "$in" "$br" 400 1 2>"$tmp/cg.log" >/dev/null
    refs=$(sed -n 's/.*I *refs: *//p' "$tmp/cg.log" | tr -d ,)
    echo "callgrind: $refs instructions in 400 aacenc_encode calls, $((refs / 400)) per frame"
  fi
done
