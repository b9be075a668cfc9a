#!/usr/bin/env python3
"""Sound in the streamer's FLV files, and its alignment with the pictures (Python 3 standard library
and ffmpeg only).

The simulated sound card (sim/alsa) plays a tone and replaces it by a short burst of another
frequency (a mark) at the capture instant of every 30th picture of the simulated DSP. In the FLV
file a mark's picture carries the video tag time round(pts) - streamClockBase, and the mark's sound,
decoded and mapped through the audio tags' timestamps, must fall at the same time within one audio
frame. The AAC coder's delay and the detector's own lag are measured on a reference: the same kind
of signal, with marks at known samples, coded by aacenc_wav (the camera's encoder driven as the
capture drives it) and found by the same detector.

By hand, the long run (the figures of the closing note):

    tests/streamer/av_sync.py --build build [--seconds 600] [--rate 44100] [--channels 1]
                              [--drift 200] [--keep]

runs the real streamer on the real-clock DSP with one 320x180 stream to an FLV file and prints
the alignment of every mark, the time base segments of the audio tags and the re-anchoring steps.
test_audio.py imports the same functions for its short runs.
"""
import argparse
import array
import json
import math
import os
import struct
import subprocess
import sys
import tempfile
import time
import wave

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.environ.get("KAVO_PYLIB", os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "pylib")))
import kavo_media  # noqa: E402
from streamer_harness import Root, Streamer, parse_flv, stream  # noqa: E402

BLOCK = 1024              # sample frames per AAC-LC frame
REANCHOR_SECONDS = 11     # the capture takes its time base from the clock again past this count
MARK = {"frequency": 2000, "level": -3, "durationMs": 20, "everyFrames": 30}
TONE = {"frequency": 1000, "level": -20}


# ---- the simulated card -----------------------------------------------------------------------

def alsa_card(tool, root, card):
    """Writes the card's configuration into the root; the environment that selects it."""
    out = subprocess.run([tool, "--root", root.dir, "config", json.dumps(card)], capture_output=True, text=True)
    if out.returncode != 0:
        raise AssertionError("kavo_sim_alsa config: %s" % out.stderr)
    key, _, value = out.stdout.strip().partition("=")
    assert key == "ALSA_CONFIG_PATH", out.stdout
    return {key: value}


def alsa_journal(root):
    return root.journal("alsa")


# ---- the FLV file -----------------------------------------------------------------------------

class Flv:
    """The tags of one FLV file: raw AAC tag timestamps, coded video tag timestamps, the
    AudioSpecificConfig and streamClockBase (the connection's first timestamp, in ms)."""

    def __init__(self, path):
        with open(path, "rb") as f:
            self.tags, self.trailing = parse_flv(f.read())
        self.audio = [ts for kind, ts, p in self.tags if kind == 8 and len(p) > 2 and p[1] == 1]
        self.audio_config = [bytes(p[2:]) for kind, ts, p in self.tags if kind == 8 and len(p) > 1 and p[1] == 0]
        self.video = [ts for kind, ts, p in self.tags if kind == 9 and len(p) > 5 and p[1] == 1]
        self.clock_base = None
        key = b"\x00\x0fstreamClockBase\x00"
        for kind, ts, p in self.tags:
            if kind == 0x12 and key in p:
                at = p.index(key) + len(key)
                self.clock_base = struct.unpack(">d", p[at:at + 8])[0]
                break


def judge(path, stream_spec):
    """ffmpeg decodes the chosen streams of the file; (status, what it printed)."""
    return kavo_media.decode(path, "-map", stream_spec)


def probe_audio(path):
    r = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "a", "-show_entries",
                        "stream=codec_name,profile,sample_rate,channels", "-of", "json", path],
                       capture_output=True, text=True)
    streams = json.loads(r.stdout or "{}").get("streams", [])
    return streams[0] if streams else None


def decode(path, channel=0, band=None):
    """One channel of the file's (or an ADTS file's) sound as 16-bit samples, optionally through a
    band-pass around `band` Hz; (samples, ffmpeg's standard error)."""
    chain = "pan=mono|c0=c%d" % channel
    if band:
        chain += ",bandpass=f=%d:width_type=h:w=%d" % (band, band // 3)
    r = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-i", path, "-map", "0:a", "-af", chain, "-f", "s16le",
                        "-acodec", "pcm_s16le", "-"], capture_output=True)
    samples = array.array("h")
    samples.frombytes(r.stdout[:len(r.stdout) // 2 * 2])
    if sys.byteorder != "little":
        samples.byteswap()
    return samples, r.stderr.decode(errors="replace")


# ---- the tone ---------------------------------------------------------------------------------

def tone_frequency(samples, rate):
    """Frequency from the rising zero crossings (interpolated) of a stretch of samples."""
    crossings = []
    for i in range(1, len(samples)):
        a, b = samples[i - 1], samples[i]
        if a < 0 <= b:
            crossings.append(i - 1 + (-a) / (b - a))
    if len(crossings) < 3:
        return 0.0
    return (len(crossings) - 1) * rate / (crossings[-1] - crossings[0])


def peak_dbfs(samples):
    """The peak level of a sine from its RMS, in dB below full scale (-inf for silence)."""
    if not samples:
        return float("-inf")
    power = sum(x * x for x in samples) / len(samples)
    return 10 * math.log10(2 * power) - 20 * math.log10(32767) if power > 0 else float("-inf")


def card_peak_dbfs(level, value, vmin=0, vmax=31):
    """The card's tone level at "Capture Volume" `value`."""
    gain = (value - vmin) / (vmax - vmin)
    return level + 20 * math.log10(gain) if gain > 0 else float("-inf")


# ---- the time base of the audio tags ----------------------------------------------------------

def frames_per_time_base(rate, block=BLOCK):
    """Frames stamped from one time base: counts 0, block, ... up to the first that reaches 11 s."""
    k = 0
    while k * block // rate < REANCHOR_SECONDS:
        k += 1
    return k + 1


def time_base_segments(ts, rate, block=BLOCK):
    """Splits the audio tag timestamps into runs stamped from one time base: tag k of a run is at
    run start + (k x block x 1000 + rate / 2) / rate ms. A run ends after frames_per_time_base frames
    (re-anchoring) or earlier where the stamps leave its time base for good (a restart: only an
    overrun may cause one). Returns (runs, errors): runs as dicts start, length, end ("reanchor",
    "restart", "file"), step (the new base less the old base's extrapolation, ms); errors: single
    stamps off their run's time base, as text."""
    def p(k):
        return (k * block * 1000 + rate // 2) // rate
    per = frames_per_time_base(rate, block)
    runs, errors = [], []
    s, n = 0, len(ts)
    while s < n:
        # The first stamps of a file may be clamped to 0 (sound older than the first picture).
        ref = s
        if s == 0:
            while ref + 1 < n and ts[ref] == 0 and ts[ref + 1] == 0:
                ref += 1
            if ts[ref] == 0 and ref + 1 < n:
                ref += 1
        end, cause = min(s + per, n), "reanchor"

        def expected(i):
            return ts[ref] + p(i - s) - p(ref - s)
        for i in range(ref + 1, end):
            if ts[i] == expected(i):
                continue
            if i + 1 < end and ts[i + 1] == expected(i + 1):
                errors.append("tag %d: %d ms, the time base gives %d" % (i, ts[i], expected(i)))
                continue
            end, cause = i, "restart"
            break
        if end >= n:
            cause = "file"
        step = None
        if cause != "file":
            step = ts[end] - (ts[ref] + p(end - s) - p(ref - s))
        runs.append({"start": s, "length": end - s, "end": cause, "step": step})
        s = end
    return runs, errors


# ---- marks ------------------------------------------------------------------------------------

def envelope_bursts(samples, rate, threshold_ratio=0.1):
    """Bursts of a band-passed signal: (energy centroid in samples, first, last sample) each."""
    hop = max(1, rate // 1000)
    energy = []
    for h in range(0, len(samples) - hop + 1, hop):
        seg = samples[h:h + hop]
        energy.append(sum(x * x for x in seg))
    if not energy:
        return []
    threshold = max(energy) * threshold_ratio
    bursts, h = [], 0
    while h < len(energy):
        if energy[h] <= threshold:
            h += 1
            continue
        first = h
        last = h
        while h < len(energy) and (energy[h] > threshold or (h - last) < 5):
            if energy[h] > threshold:
                last = h
            h += 1
        total = sum(energy[first:last + 1])
        centroid = sum((j + 0.5) * hop * energy[j] for j in range(first, last + 1)) / total
        bursts.append((centroid, first * hop, (last + 1) * hop))
    return bursts


def mark_onsets(samples, rate, duration_ms=MARK["durationMs"]):
    """Where each burst begins, by its energy centroid less half its length, in samples."""
    half = duration_ms * rate / 2000.0
    return [c - half for c, _, _ in envelope_bursts(samples, rate)]


def calibrate(aacenc_wav, rate, channels, bitrate, workdir, gain=1.0, tone=TONE, mark=MARK):
    """Lag, in samples, of the coder and the detector together: marks at known samples of a
    reference signal, coded by the camera's encoder, decoded and found as in the stream."""
    seconds = 6
    n = rate * seconds
    starts = [int(rate * (0.6 + 0.7 * j)) + 97 * j for j in range(7)]
    length = int(round(mark["durationMs"] * rate / 1000.0))
    tone_amp = 32767 * 10 ** (tone["level"] / 20.0) * gain
    mark_amp = 32767 * 10 ** (mark["level"] / 20.0) * gain
    pcm = array.array("h", [0] * (n * channels))
    freqs = tone["frequency"] if isinstance(tone["frequency"], list) else [tone["frequency"]] * channels
    inside = [None] * n
    for m in starts:
        for s in range(m, m + length):
            inside[s] = m
    for s in range(n):
        for c in range(channels):
            m = inside[s]
            if m is not None:
                v = mark_amp * math.sin(2 * math.pi * mark["frequency"] * (s - m) / rate)
            else:
                v = tone_amp * math.sin(2 * math.pi * freqs[c] * s / rate)
            pcm[s * channels + c] = max(-32768, min(32767, int(round(v))))
    wav_path = os.path.join(workdir, "reference.wav")
    aac_path = os.path.join(workdir, "reference.aac")
    with wave.open(wav_path, "wb") as w:
        w.setnchannels(channels)
        w.setsampwidth(2)
        w.setframerate(rate)
        if sys.byteorder != "little":
            pcm.byteswap()
        w.writeframes(pcm.tobytes())
    r = subprocess.run([aacenc_wav, "-b", str(bitrate), wav_path, aac_path], capture_output=True, text=True)
    if r.returncode != 0:
        raise AssertionError("aacenc_wav: %s" % r.stderr)
    decoded, err = decode(aac_path, 0, mark["frequency"])
    found = mark_onsets(decoded, rate, mark["durationMs"])
    lags = []
    for m in starts:
        near = [f - m for f in found if -200 < f - m < 4 * BLOCK]
        if near:
            lags.append(min(near, key=abs))
    if len(lags) != len(starts):
        raise AssertionError("the reference's marks were not all found: %s of %s" % (len(lags), len(starts)))
    lags.sort()
    return lags[len(lags) // 2]


def video_mark_times(root, flv, first_ms=None):
    """FLV times (ms) of the pictures that carry a mark: from the card's journal of the video
    input's timing (the last one it took), as the container stamps a picture's pts."""
    timings = [j for j in alsa_journal(root) if j.get("req") == "marks" and j.get("origin") == "video"]
    if not timings or flv.clock_base is None:
        return [], None
    t = timings[-1]
    base = int(flv.clock_base if first_ms is None else first_ms)
    times = []
    k = 0
    last_video = flv.video[-1] if flv.video else 0
    while True:
        pts = t["videoStartNs"] + k * t["everyFrames"] * t["framePeriod"] * 125 // 64
        ms = (pts * 1000 + 500000000) // 1000000000 - base
        if ms > last_video:
            break
        if ms >= 0:
            times.append(ms)
        k += 1
    since = t["t"] / 1e6 - base
    return times, since


def audio_time(flv, rate, sample):
    """FLV time (ms) of input sample `sample` of the capture (counted over the file's audio tags)."""
    j = int(sample // BLOCK)
    if j < 0 or j >= len(flv.audio):
        return None
    return flv.audio[j] + (sample - j * BLOCK) * 1000.0 / rate


def mark_alignment(root, flv_path, rate, lag, skip_ms=1500, avoid=()):
    """Each mark's sound against its picture: list of (video ms, audio ms - video ms); and the
    video marks that had no sound near them. `avoid`: FLV times (ms) near which marks are left out
    (where the capture restarted)."""
    flv = Flv(flv_path)
    decoded, _ = decode(flv_path, 0, MARK["frequency"])
    onsets = mark_onsets(decoded, rate)
    video_times, since = video_mark_times(root, flv)
    video_set = set(flv.video)
    pairs, missing = [], []
    audio_marks = []
    for o in onsets:
        t = audio_time(flv, rate, o - lag)
        if t is not None and flv.audio[int((o - lag) // BLOCK)] > 0:
            audio_marks.append(t)
    # The coder's delay keeps the last marks' sound out of the file.
    end = flv.audio[-1] + BLOCK * 1000.0 / rate - (lag * 1000.0 / rate + MARK["durationMs"] + 50)
    for v in video_times:
        if v < skip_ms or (since is not None and v < since + 200) or v > end:
            continue
        if any(abs(v - a) < 1000 for a in avoid):
            continue
        if v not in video_set:
            missing.append(("picture", v))
            continue
        near = [a - v for a in audio_marks if abs(a - v) < 400]
        if not near:
            missing.append(("sound", v))
            continue
        pairs.append((v, min(near, key=abs)))
    return pairs, missing


# ---- the long run -----------------------------------------------------------------------------

def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", default="build")
    ap.add_argument("--seconds", type=int, default=600)
    ap.add_argument("--rate", type=int, default=44100)
    ap.add_argument("--channels", type=int, default=1)
    ap.add_argument("--bitrate", type=int, default=0)
    ap.add_argument("--drift", type=int, default=200, help="the card's sample clock against the system's, ppm")
    ap.add_argument("--keep", action="store_true")
    args = ap.parse_args()
    build = os.path.abspath(args.build)
    program = os.path.join(build, "bin", "kavo_streamer_gen2")
    tool = os.path.join(build, "bin", "kavo_sim_alsa")
    aacenc_wav = os.path.join(build, "bin", "aacenc_wav")
    bitrate = args.bitrate or 32000 * args.channels
    frame_ms = BLOCK * 1000.0 / args.rate

    root = Root(prefix="avs.")
    try:
        root.sim({"clock": "realtime", "journalFrames": False})
        card = {"rates": [args.rate], "driftPpm": args.drift, "tone": TONE,
                "marks": dict(MARK, enabled=True, origin="video")}
        env = alsa_card(tool, root, card)
        doc = {"audio": {"enabled": True, "channels": args.channels, "sampleRate": args.rate, "bitRate": bitrate,
                         "volume": 100},
               "video": {"video1": stream(320, 180, 30, ["file:///tmp/av.flv"], bitRateVbrMax=300000,
                                          bitRateCbrAvg=300000)}}
        root.config(doc)
        s = Streamer(root, env=env, level=6, program=program)
        s.wait_log("A/V encoding started")
        started = time.monotonic()
        while time.monotonic() - started < args.seconds and s.proc.poll() is None:
            time.sleep(1)
        status = s.stop()
        path = root.path("/tmp/av.flv")
        print("streamer status %d after %.0f s; %s" % (status, time.monotonic() - started, path))
        print("ffmpeg:", judge(path, "0"))
        print("ffprobe audio:", probe_audio(path))
        flv = Flv(path)
        runs, errors = time_base_segments(flv.audio, args.rate)
        restarts = sum(r["end"] == "restart" for r in runs)
        print("audio tags %d, video tags %d; time base runs %d (frames each: %s), restarts %d, stray stamps %d"
              % (len(flv.audio), len(flv.video), len(runs), sorted(set(r["length"] for r in runs)), restarts,
                 len(errors)))
        steps = [r["step"] for r in runs if r["step"] is not None]
        if steps:
            print("re-anchoring steps (ms): min %d, max %d, mean %.2f, sum %d (what the sound would be off without them)"
                  % (min(steps), max(steps), sum(steps) / len(steps), sum(steps)))
        with tempfile.TemporaryDirectory() as work:
            lag = calibrate(aacenc_wav, args.rate, args.channels, bitrate, work)
        print("coder + detector lag: %.1f samples (%.2f ms)" % (lag, lag * 1000.0 / args.rate))
        pairs, missing = mark_alignment(root, path, args.rate, lag)
        if pairs:
            errs = [e for _, e in pairs]
            worst = max(pairs, key=lambda p: abs(p[1]))
            last = pairs[-10:]
            print("marks %d: audio - video mean %.2f ms, min %.2f, max %.2f, worst %.2f at %.1f s; one frame = %.2f ms"
                  % (len(pairs), sum(errs) / len(errs), min(errs), max(errs), worst[1], worst[0] / 1000.0, frame_ms))
            print("last ten marks:", " ".join("%.1f" % e for _, e in last))
        print("marks without sound or picture:", missing[:10], len(missing))
        overruns = [j for j in alsa_journal(root) if j.get("req") == "xrun"]
        print("overruns:", len(overruns))
        ok = (status == 0 and pairs and all(abs(e) <= frame_ms for _, e in pairs) and not errors
              and restarts == len(overruns))
        print("RESULT:", "within one audio frame" if ok else "FAILED")
        return 0 if ok else 1
    finally:
        if args.keep:
            print("root kept:", root.dir)
        else:
            root.cleanup()


if __name__ == "__main__":
    sys.exit(main())
