#!/bin/sh
# CPU time of the encoder in modes 0 (AAC-LC), 1 (SBR) and 3 (SBR with parametric stereo) on
# the same 44.1 kHz stereo input, beside ffmpeg's AAC-LC encoder as the reference point.
# For each run: the process CPU time (user + sys, WAV reading and writing included, as for
# ffmpeg) per second of audio, and from aacenc_wav -t the CPU time inside aacenc_encode per
# second of audio, the mean call and the slowest single call (thread CPU time).
# Usage: sbr_speed.sh BUILD_DIR [seconds]
set -eu
build=$1
secs=${2:-120}
enc="$build/bin/aacenc_wav"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
sox -n -r 44100 -c 2 -b 16 "$tmp/in.wav" synth "$secs" pinknoise sine 440 gain -10 2>/dev/null
sox "$tmp/in.wav" -c 1 "$tmp/mono.wav"

cpu() {  # prints user + sys seconds of the command
  /usr/bin/time -f "%U %S" -o "$tmp/t" "$@" >"$tmp/out" 2>"$tmp/err" || { cat "$tmp/err" >&2; exit 1; }
  awk '{ printf "%.3f", $1 + $2 }' "$tmp/t"
}

echo "$secs s of 44.1 kHz pink noise and a 440 Hz tone"
printf '%-34s %10s %12s %12s %12s %14s\n' run process_s ms/audio_s enc_ms/aud_s mean_call_us worst_call_us
ours() {  # label mode bitrate input
  p=$(cpu "$enc" -t -m "$2" -b "$3" "$4" "$tmp/o.aac")
  set -- "$1" "$p" $(cat "$tmp/out")
  # calls N audio_s A encode_cpu_s E cpu_per_audio_s C mean_call_us M worst_call_us W (call K)
  awk -v l="$1" -v p="$2" -v a="$6" -v c="${10}" -v m="${12}" -v w="${14}" \
    'BEGIN { printf "%-34s %10.3f %12.2f %12.2f %12.1f %14.1f\n", l, p, 1000 * p / a, 1000 * c, m, w }'
}
ours "mode 0 AAC-LC stereo 128000" 0 128000 "$tmp/in.wav"
ours "mode 0 AAC-LC stereo 64000" 0 64000 "$tmp/in.wav"
ours "mode 1 SBR stereo 64000" 1 64000 "$tmp/in.wav"
ours "mode 1 SBR stereo 32000" 1 32000 "$tmp/in.wav"
ours "mode 1 SBR mono 32000" 1 32000 "$tmp/mono.wav"
ours "mode 3 SBR+PS 32000" 3 32000 "$tmp/in.wav"
ours "mode 3 SBR+PS 16000" 3 16000 "$tmp/in.wav"
for br in 128000 64000; do
  p=$(cpu ffmpeg -nostdin -v error -threads 1 -y -i "$tmp/in.wav" -c:a aac -b:a "$br" "$tmp/f.aac")
  awk -v l="ffmpeg -c:a aac stereo $br" -v p="$p" -v a="$secs" \
    'BEGIN { printf "%-34s %10.3f %12.2f %12s %12s %14s\n", l, p, 1000 * p / a, "-", "-", "-" }'
done
