#!/usr/bin/env python3
"""The judge of an ISP soak run (isp_soak.py): reads run.json, the logs, the simulators' journals
and the FLV file under the run's root and checks what isp_soak.py's notes list; prints a table of
figures (figures.json keeps them).

    isp_soak_judge.py ROOT
"""
import bisect
import json
import os
import subprocess
import sys

from isp_soak_peers import CORRECTION_CHECK, HOLDER_FREED_S, POSITION_READS_UNDER_FAULT, VISCA
from soak_judge import SANITIZER_WORDS, Verdict, _valgrind_records, trend

S = 1_000_000_000
TSAN_WORDS = ("WARNING: ThreadSanitizer",)
VISCA_NAMES = {p for p, _, _ in VISCA} | {CORRECTION_CHECK[0]}


def sanitized(program):
    """True for a program built with AddressSanitizer or ThreadSanitizer (whose memory grows)."""
    try:
        r = subprocess.run(["ldd", program], capture_output=True, text=True)
    except OSError:
        return False
    return "libasan" in r.stdout or "libtsan" in r.stdout


def held_until(t, windows):
    """The end of a "ResetAllIspSettings" wait that holds the IPC thread at time t, or None."""
    for start, end in windows:
        if start <= t and (end is None or t <= end):
            return end if end is not None else float("inf")
    return None


# Requests whose settings may turn mirror and flip: the driver's mirror request sleeps one second
# after each, on the IPC thread.
MIRRORING = ("change_mirror", "change_malformed", "reset", "reset_all", "reload")
MIRROR_SLEEPS = 2 * S


def allowed_time(req, notes, windows, reinits, gone, slack=1.0):
    """The latest time the answer to `req` may come (ns). `windows`: (start, end) of the requests
    that hold the IPC thread (a "ResetAllIspSettings" waiting for a re-initialisation, a change
    that turns the mirror)."""
    kind, _, sent, answered = req[:4]
    base = sent
    if kind == "reset_all":
        done = [r[1] for r in reinits if r[0] <= sent and r[1]]
        if done:
            base = max(base, done[-1] + 1 * S)  # it looks again once a second
    elif kind in ("empty", "unknown"):
        held = held_until(sent, windows)
        if held is not None:
            base = max(base, held)
    margin = int(slack * S)
    if kind in ("empty", "unknown"):
        return base + margin
    apply = MIRROR_SLEEPS if kind in MIRRORING else 0
    # A change that waits for analytics: answered within 1 s of analytics' answer, or once the
    # 10,000 ms have passed, by the next request (the flood sends one every few tens of ms).
    end = answered if answered is not None else float("inf")
    mine = [n for n in notes if sent <= n[0] <= end]
    # Announcements queued while analytics was gone reach it just ahead of this change's own: of an
    # answered change, its own is the last one analytics had before the answer.
    own = mine[-1] if mine and answered is not None else mine[0] if mine else None
    if own is not None and own[1] is not None and own[1] < base + 10 * S:
        return own[1] + margin + apply
    if mine or gone(sent):
        return base + 10 * S + margin + S // 2 + apply
    return base + margin + apply


def decode(path):
    r = subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-f", "null", "-"], capture_output=True, text=True,
                       timeout=1800)
    return r.returncode, r.stderr.strip()


def stat_reads(journal_path, pid):
    """Times (ns, the journal's clock) of the server's statistics reads: good ones and failed ones."""
    good, bad = [], []
    try:
        with open(journal_path) as f:
            for line in f:
                if "IAV_IOC_IMG_GET_STATISTICS" not in line:
                    continue
                try:
                    j = json.loads(line)
                except ValueError:
                    continue
                if j.get("pid") != pid:
                    continue
                (good if j.get("rc") == 0 else bad).append(j.get("t", 0))
    except OSError:
        pass
    return good, bad


def scan_log(path, words):
    counts = {w: 0 for w in words}
    reports = []
    try:
        with open(path, errors="replace") as f:
            for line in f:
                for w in words:
                    if w in line:
                        counts[w] += 1
                if any(w in line for w in SANITIZER_WORDS + TSAN_WORDS) and len(reports) < 20:
                    reports.append(line.rstrip())
    except OSError:
        pass
    return counts, reports


AGC_UNITS = float(1 << 24)  # the sensor's gain in 1/2^24 dB


def settle(samples, since, tolerance=0.03, hold_s=3.0):
    """Seconds after `since` from which exposure (shutter times gain) and white balance stayed within
    `tolerance` of where they end, for at least `hold_s` (None: still moving at the end). A step of
    the white balance's dead band now and then is no movement."""
    after = [(t, c["sensor"]["shutter"] * 10 ** (c["sensor"]["agcDb"] / AGC_UNITS / 20), c["sensor"]["wb"])
             for t, c in samples if t >= since]
    if len(after) < 2:
        return [None, None]
    out = []
    for close in (lambda a, b: abs(a[1] - b[1]) <= tolerance * b[1],
                  lambda a, b: all(abs(x - y) <= tolerance * y for x, y in zip(a[2], b[2]))):
        last = after[-1]
        i = len(after) - 1
        while i > 0 and close(after[i - 1], last):
            i -= 1
        out.append((after[i][0] - since) / S if (last[0] - after[i][0]) / S >= hold_s else None)
    return out


def judge(root_dir, verbose=True):
    soak = os.path.join(root_dir, "soak")
    with open(os.path.join(soak, "run.json")) as f:
        rec = json.load(f)
    v = Verdict()
    timing = not rec["valgrind"]
    # Under a sanitizer the programs run several times slower: the one-second margins triple.
    programs = rec.get("programs", {})
    slack = 3.0 if sanitized(programs.get("ispserver", "")) else 1.0

    # Alive to the end, exit 0 on SIGTERM, no sanitizer report.
    v.check(not rec["crashed"], "ended during the run: %s" % rec["crashed"])
    for name in ("ispserver", "streamer"):
        v.check(rec["statuses"].get(name) == 0, "%s exit status %s" % (name, rec["statuses"].get(name)))
    server_counts, server_reports = scan_log(os.path.join(soak, "ispserver.log"),
                                             ["ISP Server re-init done.", "Timeout propagating ISP changes",
                                              "Busy", "ISP Server down"])
    _, streamer_reports = scan_log(os.path.join(soak, "streamer.log"), [])
    v.check(not server_reports, "sanitizer report of the ISP server: %s" % server_reports[:5])
    v.check(not streamer_reports, "sanitizer report of the streamer: %s" % streamer_reports[:5])
    v.check(server_counts["ISP Server down"] >= 1 or rec["statuses"].get("ispserver") != 0,
            "the ISP server did not log its orderly stop")

    # IPC: every request that expects an answer got it in time; none that wants none got one.
    notes = rec["analytics"]["notes"]
    moods = rec["analytics"]["moods"]

    def gone(t):
        m = [mood for at, mood in moods if at <= t]
        return bool(m) and m[-1] == "gone"
    holds = [tuple(w) for w in rec["reset_all"]] + [(q[2], q[3]) for q in rec["ipc"] if q[0] in MIRRORING]
    late, unanswered, unwanted = [], [], []
    served = {"controller": 0, "flood": 0}
    for req in rec["ipc"]:
        kind, function, sent, answered, status, expects = req[:6]
        who = "flood" if kind in ("empty", "unknown", "no_answer") else "controller"
        if not expects:
            if answered is not None:
                unwanted.append(req)
            continue
        if answered is None:
            unanswered.append(req)
            continue
        served[who] += 1
        limit = allowed_time(req, notes, holds, rec["reinits"], gone, slack)
        if answered > limit:
            late.append((kind, function, round((answered - sent) / S, 3), round((limit - sent) / S, 3)))
    if timing:
        v.check(not late, "%d IPC answers late (kind, function, s, allowed s): %s" % (len(late), late[:10]))
    else:
        v.notes.append("%d IPC answers beyond the bounds under valgrind (not judged)" % len(late))
    v.check(not unanswered, "%d IPC requests unanswered: %s" % (len(unanswered), unanswered[:5]))
    v.check(not unwanted, "%d answers to requests that wanted none" % len(unwanted))
    v.check(rec["controller"]["reinit_answered"] == 0, "ReInitIsp answered %d times" % rec["controller"]["reinit_answered"])
    reinits_done = sum(1 for r in rec["reinits"] if r[1])
    v.check(reinits_done == len(rec["reinits"]), "%d of %d re-initialisations ended" % (reinits_done,
                                                                                        len(rec["reinits"])))

    # VISCA: each request within its command's bound; the first one after a client was killed
    # holding the channel may also wait for the server to free it.
    visca_late, visca_failed = [], []
    visca_max = {}
    bounds = {p: b for p, b, _ in VISCA}
    bounds[CORRECTION_CHECK[0]] = CORRECTION_CHECK[1]
    holders = [h for h in rec.get("holders", []) if h[2]]
    sent_at = [r[2] for r in rec["visca"]]
    after_kill = {bisect.bisect_left(sent_at, h[1]) for h in holders}
    after_kill_max = 0.0
    # Lens faults that slow the position reads (theirs, or the 3A thread's light-sensor inquiry
    # they wait for), each until the next fault file and 2 s more (a late reply's delay).
    lens_log = rec["lens_faults"]
    lens_acting = [(at, lens_log[i + 1][0] + 2 * S if i + 1 < len(lens_log) else float("inf"))
                   for i, (at, kind, doc) in enumerate(lens_log) if kind not in ("none", "end")
                   and doc["faults"][0].get("match") in (None, "09 04 47", "09 04 48", "09 04 E4")]
    for i, (packet, bound, sent, seconds, reply) in enumerate(rec["visca"]):
        bound = bounds.get(packet, bound)
        if packet in POSITION_READS_UNDER_FAULT and seconds is not None and any(
                a <= sent + seconds * S and sent <= b for a, b in lens_acting):
            bound = POSITION_READS_UNDER_FAULT[packet]
        bound += HOLDER_FREED_S if i in after_kill else 0.0
        if i in after_kill and seconds is not None:
            after_kill_max = max(after_kill_max, seconds)
        if seconds is None:
            visca_failed.append((packet, reply))
            continue
        if packet.startswith(("81 01 04 47 0", "81 01 04 48 0")):
            key = packet[:11] + " (absolute)"
        elif packet in VISCA_NAMES and len(packet) <= 26:
            key = packet
        else:
            key = "malformed"
        visca_max[key] = max(visca_max.get(key, 0), seconds)
        if seconds > bound * slack:
            visca_late.append((packet, round(seconds, 3), bound))
    if timing:
        v.check(not visca_late, "%d VISCA requests beyond their bound: %s" % (len(visca_late), visca_late[:10]))
    v.check(not visca_failed, "%d VISCA requests failed: %s" % (len(visca_failed), visca_failed[:5]))
    # Each killed holder's channel freed once, after the kill: never while it lived.
    freed = rec.get("freed_log", [])
    starts = [h[0] for h in holders[1:]] + [float("inf")]
    unfreed = [i for i, (h, nxt) in enumerate(zip(holders, starts)) if sum(1 for t in freed if h[1] <= t < nxt) != 1]
    v.check(len(holders) == len(rec.get("holders", [])), "%d of %d VISCA holders never took the channel" % (
        len(rec.get("holders", [])) - len(holders), len(rec.get("holders", []))))
    v.check(not unfreed and len(freed) == len(holders),
            "the channel was freed %d times for %d killed holders (not once after the kill: holders %s)" % (
                len(freed), len(holders), unfreed[:5]))

    # No change applied by a response from a peer that never received the announcement: the
    # settings client's answer comes with analytics' own answer (which the stand-in notes just
    # after it sent it) or the server's time-out (10 s after it took the request), not between the
    # forged response and those. A request's announcement is the last one analytics received
    # before the answer: announcements queued while analytics was gone come in ahead of it.
    controller_reqs = sorted((q for q in rec["ipc"] if q[0] not in ("empty", "unknown", "no_answer")),
                             key=lambda q: q[2])
    controller_sent = [q[2] for q in controller_reqs]
    by_id = {n[5]: n for n in notes if len(n) > 5}
    forged_applied = []
    for forged_at, rid, function in rec.get("forged", []):
        n = by_id.get(rid)
        i = bisect.bisect_right(controller_sent, n[0]) - 1 if n else -1
        if i < 0:
            continue
        sent, answered = controller_reqs[i][2], controller_reqs[i][3]
        mine = [m for m in notes if sent <= m[0] and (answered is None or m[0] <= answered)]
        if mine and mine[-1] is not n:
            continue
        legit = min(n[1] - S // 4 if n[1] is not None else float("inf"), sent + 9.5 * S)
        if answered is not None and forged_at <= answered < legit:
            forged_applied.append((function, controller_reqs[i][0], round((answered - forged_at) / S, 3)))
    v.check(not forged_applied, "%d of %d forged analytics responses applied a change (function, kind, s after): %s"
            % (len(forged_applied), len(rec.get("forged", [])), forged_applied[:5]))

    # Resources: flat over the last half.
    long_run = rec["seconds"] >= 1200
    figures = {}
    for name, samples in rec["samples"].items():
        if not samples:
            v.check(False, "no samples of %s" % name)
            continue
        rss_t, rss_lo, rss_hi = trend(samples, 1)
        fd_t, fd_lo, fd_hi = trend(samples, 2)
        th_t, th_lo, th_hi = trend(samples, 3)
        wall = samples[-1][0] - samples[0][0]
        cpu = samples[-1][4] - samples[0][4]
        peak_cpu = max(((b[4] - a[4]) / (b[0] - a[0]) for a, b in zip(samples, samples[1:]) if b[0] > a[0]),
                       default=0.0)
        figures[name] = {"peak_rss_kib": max(s[1] for s in samples), "rss_trend_kib": round(rss_t),
                         "fds": [fd_lo, fd_hi], "fd_trend": round(fd_t, 1), "threads": [th_lo, th_hi],
                         "thread_trend": round(th_t, 1), "cpu_mean_pct": round(100 * cpu / wall, 1) if wall else 0,
                         "cpu_peak_pct": round(100 * peak_cpu, 1)}
        program = programs.get(name, "")
        if timing and not (program and sanitized(program)):
            limit = 2048 if long_run else 6144
            v.check(rss_t <= limit, "%s RSS grows over the last half: %+.0f KiB (%d..%d)" % (name, rss_t, rss_lo,
                                                                                           rss_hi))
        v.check(fd_t <= 2.0, "%s descriptors grow over the last half: %+.1f (%d..%d)" % (name, fd_t, fd_lo, fd_hi))
        v.check(th_t <= 1.0, "%s threads grow over the last half: %+.1f (%d..%d)" % (name, th_t, th_lo, th_hi))

    # The video decodes.
    flv = os.path.join(root_dir, "tmp", "video1.flv")
    rc, errors = decode(flv) if os.path.exists(flv) else (-1, "missing")
    v.check(rc == 0 and not errors, "%s does not decode cleanly: %s %s" % (flv, rc, errors[:300]))

    # After the last fault exposure and white balance settle again.
    exposure_s, wb_s = settle(rec["camera"], rec["faults_end"])
    if timing:
        v.check(exposure_s is not None, "the exposure still moves at the end")
        v.check(wb_s is not None, "the white balance still moves at the end")

    # Faults injected and recovered: statistics reads go on after each fault file, lens inquiries
    # are answered again after each lens fault.
    good, bad = stat_reads(os.path.join(root_dir, "tmp", "kavo_sim", "iav.journal"), rec["pids"]["ispserver"])
    stat_faults = [f for f in rec["stat_faults"] if f[1] != "end"]
    stat_recovered = 0
    if good:
        # The journal's clock is the DSP's real clock, CLOCK_MONOTONIC as ours.
        ends = [f[0] for f in rec["stat_faults"][1:]] + [rec["faults_end"]]
        for (at, kind, doc), end in zip(stat_faults, ends):
            i = bisect.bisect_left(good, end)
            if i < len(good) and good[i] - end < 5 * S:
                stat_recovered += 1
    lens_faults = [f for f in rec["lens_faults"] if f[1] not in ("end", "none")]
    lens_ok = sorted(sent for packet, _, sent, seconds, reply in rec["visca"]
                     if packet in ("81 09 04 47 FF", "81 09 04 48 FF") and reply and reply.startswith("08"))
    lens_recovered = 0
    all_lens = rec["lens_faults"]
    for i, (at, kind, doc) in enumerate(all_lens):
        if kind in ("end", "none"):
            continue
        end = all_lens[i + 1][0] if i + 1 < len(all_lens) else rec["faults_end"]
        if any(t >= end for t in lens_ok):
            lens_recovered += 1
    night = [0 if c["lens"]["irCutIn"] else 1 for _, c in rec["camera"]]
    to_night = sum(1 for a, b in zip(night, night[1:]) if b > a)
    to_day = sum(1 for a, b in zip(night, night[1:]) if b < a)

    ipc_kinds = {}
    for req in rec["ipc"]:
        ipc_kinds[req[0]] = ipc_kinds.get(req[0], 0) + 1
    duration = (rec["ended"] - rec["started"]) / S
    figures.update({
        "duration_s": round(duration), "seed": rec["seed"],
        "ipc_served": served, "ipc_kinds": ipc_kinds, "ipc_late": len(late), "junk_connections": rec["flood"]["junk"],
        "analytics_announcements": len(notes), "analytics_moods": _count(m for _, m in moods),
        "timeouts_logged": server_counts["Timeout propagating ISP changes"],
        "visca_served": sum(1 for r in rec["visca"] if r[3] is not None), "visca_failed": len(visca_failed),
        "visca_late": len(visca_late), "visca_max_s": {k: round(x, 3) for k, x in sorted(visca_max.items())},
        "holders_killed": len(holders), "channels_freed": len(freed), "after_kill_max_s": round(after_kill_max, 3),
        "forged_responses": len(rec.get("forged", [])), "forged_applied": len(forged_applied),
        "reinits": len(rec["reinits"]), "reinits_done": reinits_done, "reset_all": len(rec["reset_all"]),
        "stat_faults": len(stat_faults), "stat_faults_recovered": stat_recovered, "stat_reads_failed": len(bad),
        "stat_reads": len(good),
        "lens_faults": len(lens_faults), "lens_faults_recovered": lens_recovered,
        "scene_changes": len(rec["scene"]), "to_night": to_night, "to_day": to_day,
        "settled_after_s": {"exposure": exposure_s, "white_balance": wb_s},
    })
    with open(os.path.join(soak, "figures.json"), "w") as f:
        json.dump(figures, f, indent=1)
    if verbose:
        print_table(figures)
        for n in v.notes:
            print("note:", n)
        for fail in v.failures:
            print("FAIL:", fail)
        print("verdict:", "pass" if not v.failures else "FAIL")
    if rec["valgrind"]:
        ours, summary, others = _valgrind_records(soak)
        for line in summary:
            print("valgrind:", line)
        v.check(not ours, "valgrind: leaks through our code: %s" % ours[:5])
        for o in others[:10]:
            print("valgrind (other):", o)
    return v


def _count(xs):
    out = {}
    for x in xs:
        out[x] = out.get(x, 0) + 1
    return out


def print_table(f):
    print("== ISP soak: %d s (seed %s)" % (f["duration_s"], f["seed"]))
    rows = [
        ("IPC requests answered", "settings client %d, flood %d (late %d)" % (f["ipc_served"]["controller"],
                                                                            f["ipc_served"]["flood"], f["ipc_late"])),
        ("IPC request kinds", ", ".join("%s %d" % kv for kv in sorted(f["ipc_kinds"].items()))),
        ("malformed connections", ", ".join("%s %d" % kv for kv in sorted(f["junk_connections"].items()))),
        ("analytics", "%d announcements; moods %s; %d timeouts logged" % (
            f["analytics_announcements"], f["analytics_moods"], f["timeouts_logged"])),
        ("VISCA requests answered", "%d (failed %d, beyond bound %d)" % (f["visca_served"], f["visca_failed"],
                                                                         f["visca_late"])),
        ("killed VISCA holders", "%d, channel freed %d times; next request at most %.2f s" % (
            f["holders_killed"], f["channels_freed"], f["after_kill_max_s"])),
        ("forged analytics answers", "%d sent, %d applied a change" % (f["forged_responses"], f["forged_applied"])),
        ("re-initialisations", "%d (%d ended; %d with ResetAllIspSettings)" % (f["reinits"], f["reinits_done"],
                                                                                f["reset_all"])),
        ("statistics faults", "%d injected, %d recovered (%d reads failed of %d)" % (
            f["stat_faults"], f["stat_faults_recovered"], f["stat_reads_failed"],
            f["stat_reads"] + f["stat_reads_failed"])),
        ("lens-MCU faults", "%d injected, %d recovered" % (f["lens_faults"], f["lens_faults_recovered"])),
        ("scene changes", "%d" % f["scene_changes"]),
        ("day/night switches", "%d to night, %d to day" % (f["to_night"], f["to_day"])),
        ("settled after the faults", "exposure %s s, white balance %s s" % (
            f["settled_after_s"]["exposure"], f["settled_after_s"]["white_balance"])),
    ]
    for name in ("ispserver", "streamer"):
        if name in f:
            p = f[name]
            rows.append(("%s" % name, "peak RSS %d KiB (trend %+d), CPU mean %s %% peak %s %%, fds %s, threads %s" % (
                p["peak_rss_kib"], p["rss_trend_kib"], p["cpu_mean_pct"], p["cpu_peak_pct"], p["fds"], p["threads"])))
    for k, val in rows:
        print("%-26s %s" % (k, val))
    print("%-26s %s" % ("VISCA slowest", ", ".join("%s %.2f s" % kv for kv in f["visca_max_s"].items())))


if __name__ == "__main__":
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    sys.exit(0 if not judge(sys.argv[1]).failures else 1)
