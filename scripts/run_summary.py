#!/usr/bin/env python3
"""What the ISP did in a scripts/run root: a short summary from the programs' logs, the simulators'
journals and the samples of the camera's state that scripts/run took once a second
(<root>/camera.jsonl), with the picture luma that ffmpeg measures in the second FLV file; a contact
sheet of that file (ffmpeg's tile filter) and, when python3-matplotlib is installed, a plot over time
of scene light, exposure time, gain, white-balance gains, luma and day/night.

White balance is what reaches the picture: the sensor's gains times the DSP's (the ISP server sets
one or the other by sensor; the DSP's come from the journal). Day/night is what the ISP server did:
on a zoom-lens board the IR-cut filter it told the lens MCU to move, on a fixed-lens board the IR
LEDs it switched through the GPIO (the board's journal). Each step of the scene's light is listed
with the luma before it and the time the luma took to come back within 10 % of that level.

    run_summary.py ROOT        prints the summary; writes ROOT/contact_sheet.png and ROOT/plot.png
"""
import json
import os
import subprocess
import sys

SHUTTER_UNITS = 512e6  # the sensor's exposure time is in 1/512,000,000 s
AGC_UNITS = float(1 << 24)  # its gain ("agcDb") in 1/2^24 dB


def samples(root):
    out = []
    try:
        with open(os.path.join(root, "camera.jsonl")) as f:
            for line in f:
                try:
                    s = json.loads(line)
                except ValueError:
                    continue
                if s.get("camera"):
                    out.append(s)
    except OSError:
        pass
    return out


def luma_frames(flv):
    """(time in the file, YAVG) of every decoded picture."""
    if not os.path.exists(flv):
        return []
    r = subprocess.run(["ffprobe", "-v", "error", "-f", "lavfi", "-i", "movie=%s,signalstats" % flv,
                        "-show_entries", "frame=pts_time:frame_tags=lavfi.signalstats.YAVG", "-of", "csv=p=0"],
                       capture_output=True, text=True, timeout=300)
    out = []
    for line in r.stdout.splitlines():
        parts = line.split(",")
        try:
            out.append((float(parts[0]), float(parts[1])))
        except (IndexError, ValueError):
            continue
    return out


def by_second(frames):
    """Mean YAVG by whole second of the file's time."""
    sums = {}
    for t, y in frames:
        s = sums.setdefault(int(t), [0.0, 0])
        s[0] += y
        s[1] += 1
    return {t: s[0] / s[1] for t, s in sums.items()}


def journal_lines(path, names):
    """The lines of a simulator's journal whose request is one of `names`, parsed."""
    out = []
    try:
        with open(path) as f:
            for line in f:
                if not any(n in line for n in names):
                    continue
                try:
                    out.append(json.loads(line))
                except ValueError:
                    pass
    except OSError:
        pass
    return out


class Journals:
    """What the ISP server did, from the journals: the DSP's white-balance gains, the IR LEDs it
    switched, and where the second stream's FLV time starts on the journals' clock."""

    def __init__(self, root):
        iav = journal_lines(os.path.join(root, "tmp/kavo_sim/iav.journal"),
                            ("IAV_IOC_IMG_RGB_GAIN_ADJUST", "IAV_IOC_IMG_GET_STATISTICS", "IAV_IOC_READ_BITSTREAM_EX"))
        server = {j.get("pid") for j in iav if j.get("req") == "IAV_IOC_IMG_GET_STATISTICS"}
        self.dsp_gains = [(j["t"], (j["arg"]["r"], j["arg"]["gr"], j["arg"]["b"])) for j in iav
                          if j.get("req") == "IAV_IOC_IMG_RGB_GAIN_ADJUST" and j.get("rc") == 0 and j.get("pid") in server]
        starts = [j["arg"]["pts"] for j in iav if j.get("req") == "IAV_IOC_READ_BITSTREAM_EX" and j.get("rc") == 0
                  and j.get("arg", {}).get("stream") == 1 and "pts" in j.get("arg", {})]
        self.flv_start = starts[0] if starts else None
        board = journal_lines(os.path.join(root, "tmp/kavo_sim/board.journal"), ("GPIO_REQUEST_IR_LED\"",))
        self.ir_leds = [(j["t"], j["arg"]["value"]) for j in board if j.get("rc") == 0 and "arg" in j]

    @staticmethod
    def at(series, t, default):
        value = default
        for at, v in series:
            if at > t:
                break
            value = v
        return value


def white_balance(c, journals):
    """The gains that reach the picture (1.0 = 1024): sensor's times the DSP's."""
    dsp = journals.at(journals.dsp_gains, c.get("monotonicNs", 0), (65536, 65536, 65536))
    return tuple(round(w * g / 65536) for w, g in zip(c["sensor"]["wb"], dsp))


def is_night(c, journals, zoom):
    if zoom:
        return 0 if c["lens"]["irCutIn"] else 1
    return 1 if journals.at(journals.ir_leds, c.get("monotonicNs", 0), 0) else 0


def light_steps(data, frames, flv_start):
    """Each change of the scene's light: (sample time, lux before, lux after, the time in the FLV,
    luma level before, seconds until the luma came back within 10 % of it or None, luma at the end
    of the step)."""
    if flv_start is None or not frames:
        return []
    lux = [s["camera"]["scene"]["lux"] for s in data]
    # A step: the samples from a change of the light to the first that holds it (a ramp is one step).
    steps = []
    for i in range(1, len(data)):
        if lux[i] != lux[i - 1]:
            if steps and steps[-1][1] == i - 1:
                steps[-1][1] = i
            else:
                steps.append([i, i])
    out = []
    for k, (i, last) in enumerate(steps):
        # The change happened after sample i - 1; the level before is the luma up to it.
        at = (data[i - 1]["camera"]["monotonicNs"] - flv_start) / 1e9
        end = ((data[steps[k + 1][0] - 1]["camera"]["monotonicNs"] - flv_start) / 1e9 if k + 1 < len(steps)
               else frames[-1][0])
        before = [y for t, y in frames if at - 3 <= t < at]
        after = [(t, y) for t, y in frames if at <= t < end]
        if not before or not after:
            continue
        level = sum(before) / len(before)
        tail = [y for t, y in after if t >= end - 1]
        back = None
        # Back once the light holds, when a second of pictures stays within 10 % of the level.
        held = (data[last]["camera"]["monotonicNs"] - flv_start) / 1e9 if last > i else at
        for j, (t, _) in enumerate(after):
            window = [y for u, y in after[j:] if u < t + 1]
            if t >= held and after[-1][0] >= t + 1 and all(abs(y - level) <= 0.1 * level for y in window):
                back = t - at
                break
        out.append((data[i]["t"], lux[i - 1], lux[last], at, level, back, sum(tail) / len(tail) if tail else None))
    return out


def changes(values):
    return sum(1 for a, b in zip(values, values[1:]) if a != b)


def settled(values, last=3):
    return len(values) >= last and len(set(map(str, values[-last:]))) == 1


def journal_requests(root, names):
    counts = dict.fromkeys(names, 0)
    try:
        with open(os.path.join(root, "tmp/kavo_sim/iav.journal")) as f:
            for line in f:
                for name in names:
                    if name in line:
                        counts[name] += 1
    except OSError:
        pass
    return counts


def log_counts(path):
    counts = {"errors": 0, "warnings": 0}
    try:
        with open(path, errors="replace") as f:
            for line in f:
                if line.startswith("<3>"):
                    counts["errors"] += 1
                elif line.startswith("<4>"):
                    counts["warnings"] += 1
    except OSError:
        return None
    return counts


def contact_sheet(flv, out, seconds):
    if not os.path.exists(flv) or seconds <= 0:
        return False
    rate = 12.0 / seconds
    r = subprocess.run(["ffmpeg", "-v", "error", "-y", "-i", flv, "-vf",
                        "fps=%.5f,scale=320:-2,tile=4x3:padding=4:margin=4" % rate, "-frames:v", "1", out],
                       capture_output=True, text=True, timeout=300)
    return r.returncode == 0 and os.path.exists(out)


def plot(data, luma, wb, night, out):
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return False
    t = [s["t"] for s in data]
    cam = [s["camera"] for s in data]
    fig, ax = plt.subplots(6, 1, sharex=True, figsize=(9, 11))
    ax[0].semilogy(t, [max(c["scene"]["lux"], 1e-3) for c in cam])
    ax[0].set_ylabel("scene lux")
    ax[1].semilogy(t, [c["sensor"]["shutter"] / SHUTTER_UNITS * 1000 for c in cam])
    ax[1].set_ylabel("exposure ms")
    ax[2].plot(t, [c["sensor"]["agcDb"] / AGC_UNITS for c in cam])
    ax[2].set_ylabel("gain dB")
    for i, name in enumerate(("R", "G", "B")):
        ax[3].plot(t, [g[i] / 1024 for g in wb], label=name, color="rgb"[i])
    ax[3].set_ylabel("WB gains")
    ax[3].legend(loc="upper right")
    ax[4].plot([k for k, _ in luma], [y for _, y in luma])
    ax[4].set_ylabel("luma (Y avg)")
    ax[5].step(t, night, where="post")
    ax[5].set_ylabel("night")
    ax[5].set_yticks([0, 1])
    ax[5].set_xlabel("seconds")
    fig.tight_layout()
    fig.savefig(out, dpi=80)
    return True


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    root = sys.argv[1]
    data = [s for s in samples(root) if "monotonicNs" in s["camera"]]
    flv = os.path.join(root, "tmp/video2.flv")
    frames = luma_frames(flv)
    luma = by_second(frames)
    journals = Journals(root)
    zoom = os.path.exists(os.path.join(root, "lens_mcu.log"))
    print("== what the ISP did")
    wb, night = [], []
    if data:
        cam = [s["camera"] for s in data]
        lux = [c["scene"]["lux"] for c in cam]
        exposure = [(c["sensor"]["shutter"], c["sensor"]["agcDb"] / AGC_UNITS) for c in cam]
        wb = [white_balance(c, journals) for c in cam]
        night = [is_night(c, journals, zoom) for c in cam]
        print("scene        %.3g .. %.3g lux over %d s" % (min(lux), max(lux), data[-1]["t"] - data[0]["t"]))
        print("exposure     %d changes; now %.3g ms, %.1f dB; %s" % (
            changes(exposure), exposure[-1][0] / SHUTTER_UNITS * 1000, exposure[-1][1],
            "settled" if settled(exposure) else "still moving"))
        print("white bal.   %d changes; now R %.2f G %.2f B %.2f; %s" % (
            changes(wb), wb[-1][0] / 1024, wb[-1][1] / 1024, wb[-1][2] / 1024,
            "settled" if settled(wb) else "still moving"))
        ups = sum(1 for a, b in zip(night, night[1:]) if b > a)
        downs = sum(1 for a, b in zip(night, night[1:]) if b < a)
        print("day/night    %d switches to night, %d to day; now %s (%s)" % (
            ups, downs, "night" if night[-1] else "day", "IR-cut filter" if zoom else "IR LEDs"))
        lens = cam[-1]["lens"]
        if zoom:
            print("auto focus   focus %d, in focus at %d (zoom %d)" % (lens["focus"], lens["focusInfinity"],
                                                                      lens["zoom"]))
    else:
        print("no samples of the camera's state")
    if luma:
        seconds = sorted(luma)
        print("luma         %.1f at first, %.1f .. %.1f, %.1f at the end" % (
            luma[seconds[0]], min(luma.values()), max(luma.values()), luma[seconds[-1]]))
    for t, was, now, at, level, back, end in light_steps(data, frames, journals.flv_start):
        print("light step   at %d s (%.1f s of the FLV): %.4g -> %.4g lux; luma %.1f before, %s; %s at its end" % (
            t, at, was, now, level, "back within 10 %% after %.1f s" % back if back is not None else "not back",
            "%.1f" % end if end is not None else "-"))
    requests = journal_requests(root, ("IAV_IOC_VIN_SRC_SET_SHUTTER_TIME", "IAV_IOC_VIN_SRC_SET_AGC_INDEX",
                                       "IAV_IOC_IMG_GET_STATISTICS"))
    print("journal      %d shutter, %d gain requests, %d statistics reads" % (
        requests["IAV_IOC_VIN_SRC_SET_SHUTTER_TIME"], requests["IAV_IOC_VIN_SRC_SET_AGC_INDEX"],
        requests["IAV_IOC_IMG_GET_STATISTICS"]))
    for name in ("streamer", "ispserver", "osd", "lens_mcu"):
        counts = log_counts(os.path.join(root, name + ".log"))
        if counts is not None:
            print("log          %-9s %d errors, %d warnings" % (name, counts["errors"], counts["warnings"]))
    duration = max(luma) + 1 if luma else 0
    sheet = os.path.join(root, "contact_sheet.png")
    if contact_sheet(flv, sheet, duration):
        print("PNG   %s  (contact sheet of %s)" % (sheet, flv))
    figure = os.path.join(root, "plot.png")
    # The luma on the samples' time: the FLV's time starts at its first picture on the journals' clock.
    if data and journals.flv_start is not None:
        shift = journals.flv_start / 1e9 + data[0]["t"] - data[0]["camera"]["monotonicNs"] / 1e9
    else:
        shift = 0.0
    luma_t = [(k + shift, luma[k]) for k in sorted(luma)]
    if data and plot(data, luma_t, wb, night, figure):
        print("PNG   %s  (light, exposure, gain, white balance, luma and day/night over time)" % figure)
    elif data:
        print("no plot: python3-matplotlib is not installed")


if __name__ == "__main__":
    main()
