#!/usr/bin/env python3
"""The judge of a soak run (Python 3 standard library; ffmpeg judges the streams): reads what
soak.py kept under the run's root (run.json, the log, the simulated DSP's journal, the FLV files,
captures and pictures) and checks what soak.py's notes list; figures.json keeps the figures.

    soak_judge.py ROOT        # the same as soak.py --judge ROOT
"""
import bisect
import concurrent.futures
import json
import os
import subprocess
import sys
import threading

HERE = os.path.dirname(os.path.abspath(__file__))
TREE = os.path.abspath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, os.path.join(TREE, "tests", "streamer"))
sys.path.insert(0, os.environ.get("KAVO_PYLIB", os.path.join(TREE, "tests", "pylib")))
sys.path.insert(0, os.path.join(TREE, "sim", "iav", "tools"))
import kavo_media  # noqa: E402
from kavo_media import parse_flv  # noqa: E402
from read_frame_numbers import read_number  # noqa: E402
from soak_peers import VIDEO, Burst  # noqa: E402
from streamer_harness import Root  # noqa: E402

LOG_LIMIT = 400 << 20  # a log beyond this is a flood: the run stops
SANITIZER_WORDS = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:", "SUMMARY: UndefinedBehavior",
                   "WARNING: AddressSanitizer")


def decode(path, width, height, numbers):
    """One pass of ffmpeg over the file: everything decoded (its messages: rc, text) and, when
    `numbers`, the numbers drawn into the pictures of its video, in order (None: unreadable)."""
    # Frame-rate changes come and go during the run: every frame keeps its own time.
    cmd = kavo_media.decode_command(path, timing=kavo_media.VARIABLE_RATE, first_error=False)
    rows = (height // 4 + 1) & ~1  # the top quarter, even for 4:2:0
    if numbers:
        cmd += ["-map", "0:v:0", "-fps_mode", "passthrough", "-vf", "crop=%d:%d:0:0,setpts=N/TB" % (width, rows), "-f",
                "rawvideo", "-pix_fmt", "gray", "pipe:1"]
    p = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    err = []
    reader = threading.Thread(target=lambda: err.append(p.stderr.read()))
    reader.start()
    size = width * rows
    out = []
    while numbers:
        frame = p.stdout.read(size)
        if len(frame) < size:
            break
        out.append(read_number(frame, width, height))
    p.stdout.read()
    p.wait()
    reader.join()
    return p.returncode, err[0].decode(errors="replace").strip(), out


class Journal:
    """The streamer's lines of the simulated DSP's journal, kept small: seq and time of every
    line, the good frame reads by stream (picture -> seq; times), the lines where a fault acted."""

    def __init__(self, path):
        rows = []
        pids = {}
        with open(path) as f:
            for line in f:
                try:
                    j = json.loads(line)
                except ValueError:
                    continue
                pid = j.get("pid")
                pids[pid] = pids.get(pid, 0) + 1
                a = j.get("arg") if isinstance(j.get("arg"), dict) else {}
                read = j.get("req") == "IAV_IOC_READ_BITSTREAM_EX" and j.get("rc") == 0 and "picture" in a
                rows.append((j.get("seq", 0), j.get("t", 0), pid, is_effect(j, a),
                             a.get("stream") if read else None, a.get("picture") if read else None))
        self.pid = max(pids, key=pids.get) if pids else None
        rows = sorted((r for r in rows if r[2] == self.pid), key=lambda r: r[0])
        self.times = [r[1] for r in rows]
        self.effect_seqs = [r[0] for r in rows if r[3]]
        self.effect_times = sorted(r[1] for r in rows if r[3])
        self.pictures = {}  # stream -> {picture: seq of its first good read}
        self.read_times = {}  # stream -> sorted times of good reads
        self.reads = {}
        for seq, t, _, effect, stream, picture in rows:
            if stream is None or effect:
                continue
            self.pictures.setdefault(stream, {}).setdefault(picture, seq)
            self.read_times.setdefault(stream, []).append(t)
            self.reads[stream] = self.reads.get(stream, 0) + 1

    def effect_between(self, lo, hi):
        i = bisect.bisect_right(self.effect_seqs, lo)
        return i < len(self.effect_seqs) and self.effect_seqs[i] <= hi

    def first_effect(self, lo, hi):
        i = bisect.bisect_left(self.effect_times, lo)
        return self.effect_times[i] if i < len(self.effect_times) and self.effect_times[i] < hi else None

    def read_after(self, stream, lo, hi):
        ts = self.read_times.get(stream, [])
        i = bisect.bisect_right(ts, lo)
        return i < len(ts) and ts[i] <= hi


def is_effect(j, a):
    """A journal line that shows an injected fault acting."""
    if j.get("fault") or j.get("injected") or j.get("stale") or a.get("stale"):
        return True
    if a.get("gap") or a.get("shortStartCode") or a.get("dropped"):
        return True
    if j.get("req") == "IAV_IOC_READ_BITSTREAM_EX" and "queue" in a and "frameNumber" in a:
        behind = (a["queue"] - a["frameNumber"]) & 0xFFFFFFFF
        return 150 < behind < 1 << 31
    return False


def trend(samples, index):
    """Least-squares slope over the last half of the samples times that half's length."""
    half = samples[len(samples) // 2:]
    if len(half) < 4:
        return 0.0, 0, 0
    xs = [s[0] for s in half]
    ys = [s[index] for s in half]
    mx, my = sum(xs) / len(xs), sum(ys) / len(ys)
    var = sum((x - mx) ** 2 for x in xs)
    slope = sum((x - mx) * (y - my) for x, y in zip(xs, ys)) / var if var else 0.0
    return slope * (xs[-1] - xs[0]), min(ys), max(ys)


class Verdict:
    def __init__(self):
        self.failures = []
        self.notes = []

    def check(self, ok, what):
        if not ok:
            self.failures.append(what)
        return ok


def judge(root_dir, verbose=True):
    root = Root.__new__(Root)
    root.dir = root_dir
    soak = root.path("/soak")
    with open(os.path.join(soak, "run.json")) as f:
        rec = json.load(f)
    v = Verdict()
    v.check(not rec.get("log_flood"), "the log grew beyond %d MiB" % (LOG_LIMIT >> 20))
    counts, sanitizer, crashes, graceful = _scan_log(os.path.join(soak, "streamer.log"))
    v.check(not sanitizer, "sanitizer reports: %s" % sanitizer[:5])
    v.check(not rec["crashed"], "the streamer ended on its own with status %s" % rec["status"])
    v.check(rec["status"] == 0, "exit status %s on SIGTERM" % rec["status"])
    v.check(rec["sigterm_line"], "no \"SIGTERM received\" line")
    v.check(graceful, "no \"Gracefully shut down\"")
    v.check(not crashes, "crash lines: %s" % crashes[:3])

    journal = Journal(root.path("/tmp/kavo_sim/iav.journal"))
    # Loop stalls: stretches without any driver request of the streamer.
    stalls = [(x, y) for x, y in zip(journal.times, journal.times[1:]) if y - x > 250_000_000]

    def blocked(s, e):
        total = 0
        for a, b in stalls:
            lo, hi = max(a, s), min(b, e)
            if hi > lo:
                total += hi - lo
        return total

    if rec["valgrind"]:
        ours, summary, others = _valgrind_records(soak)
        v.check(summary, "no valgrind summary")
        v.check(not ours, "valgrind: leaks through our code: %s" % ours[:3])
        v.notes.append("valgrind: " + "; ".join(summary))
        for o in others[:10]:
            v.notes.append("valgrind error through our code: " + o)

    ipc = rec["ipc"]
    answered = ipc["answered"]
    latencies = sorted((b - a) / 1e9 for a, b, _, _ in answered)
    # Under valgrind everything is slow: answers and resources are reported, not judged.
    timing = not rec["valgrind"]
    late = [(a, b, k) for a, b, k, _ in answered if timing and (b - a) - blocked(a, b) > 1_000_000_000]
    v.check(not late, "%d answers later than 1 s after the loop's next turn (first: %s)" % (
        len(late), ["%s %.2f s" % (k, (b - a) / 1e9) for a, b, k in late[:5]]))
    # What was still in flight when the clients went away is not owed an answer.
    end_ns = rec.get("peers_gone_at", rec["term_at"])
    missing = [(t, k) for t, k in ipc["unanswered"] if end_ns - t > 3_000_000_000]
    # Under valgrind the deadlines of the peers are too short: what they saw is reported only.
    timed = v.check if timing else (lambda ok, what: ok or v.notes.append(what))
    timed(not missing, "%d requests never answered (%s)" % (len(missing), [k for _, k in missing[:10]]))
    wrong = [w for w in ipc["wrong"] if timing or w[0] != "churn"]
    v.check(not wrong, "%d wrong answers: %s" % (ipc["wrong_count"], wrong[:8]))
    timed(not ipc["churn_not_closed"], "malformed input not refused: %s" % ipc["churn_not_closed"][:10])
    timed(not rec["events"], "peers saw: %s" % rec["events"][:10])
    v.check(rec["live"]["connected"] > 0 and rec["drop"]["connected"] > 0, "no live-view or TCP peer connected")
    # The settings sent back whole keep the recordings; clients that leave lock nobody out; a
    # burst of requests on one connection is answered whole.
    resend, leavers, burst = rec.get("resend", {}), rec.get("leavers", {}), rec.get("burst", {})
    if resend.get("enabled"):
        v.check(resend["sent"] > 0, "the settings were never sent back")
        v.check(not resend["wrong"], "settings sent back whole: %s" % resend["wrong"][:5])
    if leavers.get("enabled"):
        v.check(not leavers["failed"], "leavers could not connect: %s" % leavers["failed"][:3])
        v.check(leavers["left"] >= (100 if rec["streaming_s"] >= 90 else 1), "only %d clients left before their "
                "answer" % leavers["left"])
    if burst.get("enabled"):
        v.check(burst["bursts"] and all(n == Burst.COUNT for n, _ in burst["bursts"]) and not burst["wrong"],
                "bursts of %d requests: %s %s" % (Burst.COUNT, burst["bursts"][:5], burst["wrong"][:3]))

    # Resources: no trend over the last half.
    samples = rec["samples"]
    asan = _is_sanitized(rec["program"])
    rss_trend, rss_lo, rss_hi = trend(samples, 1)
    fd_trend, fd_lo, fd_hi = trend(samples, 2)
    # An hour shows a steady state; two minutes still hold the tail of the warm-up (buffers that
    # reach their high-water marks, the slow peer's backlog moving through its buffer), so the
    # short run only catches gross growth, beyond about half a kilobyte per request.
    rss_limit = 2048 if rec["streaming_s"] >= 1200 else 6144
    if asan or not timing:
        v.notes.append("RSS under a sanitizer or valgrind is reported, not judged")
    else:
        v.check(rss_trend <= rss_limit, "RSS grows over the last half: %+.0f KiB (%d..%d KiB)" % (rss_trend, rss_lo,
                                                                                              rss_hi))
    if rec["streaming_s"] >= 1200:
        v.check(not timing or fd_trend <= 3.0, "descriptors grow over the last half: %+.1f (%d..%d)" % (fd_trend, fd_lo,
                                                                                                  fd_hi))
    else:
        # Peers that come and go move the count by a dozen from one second to the next, which
        # neither a slope over a minute nor the floor of a few seconds averages out. Once every peer
        # of the run has gone, what a leak left behind stays above the fewest descriptors the
        # settled streamer held in the first half (its first 10 s still connect the destinations).
        start = samples[0][0] + 10 if samples else 0
        first = [x[2] for x in samples[:len(samples) // 2] if x[0] >= start]
        quiet = rec.get("quiet_fds")
        v.check(not timing or quiet is not None, "descriptor count did not settle after the peers left")
        if timing and quiet is not None and first:
            v.check(quiet - min(first) <= 3, "descriptors left after the peers went: %d against %d in the first half "
                    "(%d..%d)" % (quiet, min(first), fd_lo, fd_hi))

    # Streams.
    ordinals = {"video1": 0, "video2": 1}
    reads = journal.pictures
    read_count = journal.reads
    effect_between = journal.effect_between

    outputs = []
    for name in VIDEO:
        outputs.append((name, root.path("/tmp/%s.flv" % name), True))
        for p in rec["captures"][name]:
            outputs.append((name, p, True))
    outputs.append(("video1", rec["slow"]["path"], False))
    stream_figures = {}
    unexplained_total = 0
    jobs = []
    for name, path, numbers in outputs:
        label = os.path.basename(path)
        if not os.path.exists(path) or os.path.getsize(path) < 13:
            v.check(not numbers, "%s is empty" % label)
            continue
        with open(path, "rb") as f:
            data = f.read()
        try:
            tags, trailing = parse_flv(data)
        except AssertionError as e:
            v.check(False, "%s: %s" % (label, e))
            continue
        if trailing and path.startswith(soak):
            # A TCP peer may lose the end of the last tag: the streamer drops what the socket has
            # not taken when it closes. Judge the complete tags.
            trimmed = path + ".whole"
            with open(trimmed, "wb") as f:
                f.write(data[:len(data) - trailing])
            path = trimmed
        else:
            v.check(trailing == 0, "%s ends inside a tag" % label)
        del data
        audio = sum(1 for t in tags if t[0] == 8)
        numbers = numbers and not rec.get("replay")
        jobs.append((name, label, path, numbers, len(tags), audio))
        del tags
    with concurrent.futures.ThreadPoolExecutor(max_workers=4) as pool:
        decoded = list(pool.map(lambda j: decode(j[2], VIDEO[j[0]][0], VIDEO[j[0]][1], j[3]), jobs))
    for (name, label, path, numbers, ntags, audio), (rc, err, nums) in zip(jobs, decoded):
        v.check(rc == 0 and err == "", "%s does not decode cleanly: %s" % (label, err[:300]))
        v.check(audio > 0, "%s has no audio" % label)
        if not numbers:
            stream_figures[label] = {"tags": ntags, "audio_tags": audio}
            continue
        known = [n for n in nums if n is not None]
        unreadable = len(nums) - len(known)
        k = ordinals[name]
        gaps = unexplained = lost = 0
        back = 0
        for a, b in zip(known, known[1:]):
            if b <= a:
                back += 1
                continue
            if b == a + 1:
                continue
            gaps += 1
            lost += b - a - 1
            sa, sb = reads.get(k, {}).get(a), reads.get(k, {}).get(b)
            if sa is None or sb is None or not effect_between(sa, sb):
                unexplained += 1
                if unexplained <= 5:
                    v.notes.append("%s: gap %d -> %d without a fault (reads %s, %s)" % (label, a, b, sa, sb))
        unexplained_total += unexplained
        v.check(back == 0, "%s: %d pictures out of order" % (label, back))
        v.check(unexplained == 0, "%s: %d gaps without an injected fault" % (label, unexplained))
        v.check(unreadable <= max(2, len(nums) // 200), "%s: %d of %d pictures unreadable" % (label, unreadable,
                                                                                              len(nums)))
        stream_figures[label] = {"pictures": len(nums), "gaps": gaps, "lost": lost, "unreadable": unreadable,
                                 "audio_tags": audio, "reads": read_count.get(k, 0)}

    # MJPEG pictures kept by the sampler.
    bad_jpeg = 0
    for p in rec["pictures"]:
        rc, err = kavo_media.decode(p, timing=kavo_media.VARIABLE_RATE, first_error=False)
        if rc != 0 or err.strip():
            bad_jpeg += 1
    v.check(bad_jpeg == 0, "%d MJPEG pictures do not decode" % bad_jpeg)

    # Every fault was followed by frames of both H.264 streams within 5 s of its first effect.
    faults = rec["faults"]
    injected = recovered = 0
    not_recovered = []
    for i, (at, kind, doc) in enumerate(faults):
        if not doc["faults"]:
            continue
        end = faults[i + 1][0] if i + 1 < len(faults) else rec["term_at"]
        t0 = journal.first_effect(at, end)
        if t0 is None:
            continue
        injected += 1
        if t0 + 5_000_000_000 > rec["term_at"] or all(journal.read_after(o, t0, t0 + 5_000_000_000) for o in (0, 1)):
            recovered += 1
        else:
            not_recovered.append(kind)
    timed(not not_recovered, "no frames within 5 s after the faults %s" % not_recovered[:10])

    # Figures.
    streaming = rec["streaming_s"]
    cpu = [s[3] for s in samples]
    rss = [s[1] for s in samples]
    fds = [s[2] for s in samples]
    sent = ipc["sent"]
    figures = {
        "streaming_s": round(streaming, 1),
        "requests_sent": sum(sent.values()),
        "requests_answered": len(answered),
        "requests_per_s": round(sum(sent.values()) / streaming, 1) if streaming else 0,
        "answer_latency_ms": {"median": round(1000 * latencies[len(latencies) // 2], 1) if latencies else None,
                              "p99": round(1000 * latencies[int(len(latencies) * 0.99)], 1) if latencies else None,
                              "max": round(1000 * latencies[-1], 1) if latencies else None},
        "malformed_refused": ipc["churn_closed"],
        "tcp_peer": rec["drop"], "live_view": rec["live"], "avclient": rec["avclient"],
        "settings_sent_back": resend.get("sent"), "clients_left_before_answer": leavers.get("left"),
        "bursts_answered_s": [t for _, t in burst.get("bursts", [])],
        "faults_injected": injected, "faults_recovered": recovered, "fault_files": len([f for f in faults if f[2]["faults"]]),
        "fault_kinds": _count([f[1] for f in faults if f[2]["faults"]]), "sound_overruns": rec["xruns"],
        "loop_stalls": len(stalls), "longest_stall_ms": round(max([b - a for a, b in stalls], default=0) / 1e6),
        "peak_rss_kib": max(rss) if rss else 0, "rss_last_half_kib": [rss_lo, rss_hi],
        "rss_trend_kib": round(rss_trend), "fds_last_half": [fd_lo, fd_hi], "fd_trend": round(fd_trend, 1),
        "fds_after_peers": rec.get("quiet_fds"),
        "cpu_s_per_s": round((cpu[-1] - cpu[0]) / (samples[-1][0] - samples[0][0]), 3) if len(samples) > 1 else None,
        "streams": stream_figures, "mjpeg_pictures": len(rec["pictures"]),
        "log_counts": counts, "log_bytes_per_s": round(rec.get("log_bytes", 0) / streaming) if streaming else 0,
    }
    with open(os.path.join(soak, "figures.json"), "w") as f:
        json.dump({"figures": figures, "failures": v.failures, "notes": v.notes}, f, indent=1)
    if verbose:
        print(json.dumps(figures, indent=1))
        for n in v.notes:
            print("note:", n)
        for x in v.failures:
            print("FAIL:", x)
        print("PASS" if not v.failures else "FAILED (%d)" % len(v.failures))
    return v


def _count(xs):
    out = {}
    for x in xs:
        out[x] = out.get(x, 0) + 1
    return out


def _valgrind_records(folder):
    """Valgrind's error and loss records that pass through this tree's code, and its summary."""
    ours, summary, others = [], [], []
    for name in sorted(os.listdir(folder)):
        if not name.startswith("valgrind."):
            continue
        with open(os.path.join(folder, name), errors="replace") as f:
            text = f.read()
        for line in text.splitlines():
            for w in ("definitely lost:", "indirectly lost:", "possibly lost:", "ERROR SUMMARY:"):
                if w in line:
                    summary.append(line.split("== ", 1)[-1].strip())
        record = []
        for line in text.splitlines() + ["==0== "]:
            body = line.split("== ", 1)[-1] if "== " in line else line
            if body.strip() == "":
                if record and any(TREE + "/" in l and "/tests/" not in l for l in record[1:]):
                    head = record[0]
                    if "definitely lost" in head or "indirectly lost" in head:
                        ours.append(" | ".join(x.strip() for x in record[:8]))
                    elif "Invalid" in head or "uninitialised" in head or "Mismatched" in head or "possibly lost" in head:
                        others.append(" | ".join(x.strip() for x in record[:8]))
                record = []
            else:
                record.append(body)
    return ours, summary, others


def _is_sanitized(program):
    try:
        r = subprocess.run(["ldd", program], capture_output=True, text=True)
        return "libasan" in r.stdout
    except OSError:
        return False


def _scan_log(path):
    """Counts of the messages worth a figure; sanitizer and crash lines; the shut-down line."""
    counts = {w: 0 for w in LOG_WORDS}
    sanitizer, crashes, graceful = [], [], False
    with open(path, errors="replace") as f:
        for line in f:
            for w in LOG_WORDS:
                if w in line:
                    counts[w] += 1
            if any(w in line for w in SANITIZER_WORDS) and len(sanitizer) < 20:
                sanitizer.append(line.rstrip())
            if ("Segmentation" in line or "crash dump" in line.lower()) and len(crashes) < 20:
                crashes.append(line.rstrip())
            if "Gracefully shut down" in line:
                graceful = True
    return counts, sanitizer, crashes, graceful


LOG_WORDS = ["Encoding issues detected", "Start Encoding Failed!", "Try to restart streamer Failed!!",
             "Start Encoding still Failed!!", "IAV_IOC_READ_BITSTREAM_EX failed", "Frames are skipped",
             "Adjusted down", "Adjusted up", "Unable to read json", "exceeds the limit", "writev failed",
             "Unable to write to", "Unable to connect", "overrun", "xrun", "Unable to change bitrate",
             "Incorrect bitrate settings", "IAV_IOC_FORCE_IDR_EX failed", "answer(s) to", "unreachable destinations"]


if __name__ == "__main__":
    sys.exit(0 if not judge(sys.argv[1]).failures else 1)
