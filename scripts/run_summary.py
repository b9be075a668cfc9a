#!/usr/bin/env python3
"""What the ISP did in a scripts/run root: a short summary from the programs' logs, the simulator's
journal and the samples of the camera's state that scripts/run took once a second
(<root>/camera.jsonl), with the picture luma that ffmpeg measures in the second FLV file; a contact
sheet of that file (ffmpeg's tile filter) and, when python3-matplotlib is installed, a plot over time
of scene light, exposure time, gain, white-balance gains, luma and day/night.

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


def luma_by_second(flv):
    """Mean YAVG of the decoded pictures, by whole second of the file's time."""
    if not os.path.exists(flv):
        return {}
    r = subprocess.run(["ffprobe", "-v", "error", "-f", "lavfi", "-i", "movie=%s,signalstats" % flv,
                        "-show_entries", "frame=pts_time:frame_tags=lavfi.signalstats.YAVG", "-of", "csv=p=0"],
                       capture_output=True, text=True, timeout=300)
    sums = {}
    for line in r.stdout.splitlines():
        parts = line.split(",")
        try:
            t, y = float(parts[0]), float(parts[1])
        except (IndexError, ValueError):
            continue
        s = sums.setdefault(int(t), [0.0, 0])
        s[0] += y
        s[1] += 1
    return {t: s[0] / s[1] for t, s in sums.items()}


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


def plot(data, luma, out):
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
        ax[3].plot(t, [c["sensor"]["wb"][i] for c in cam], label=name, color="rgb"[i])
    ax[3].set_ylabel("WB gains")
    ax[3].legend(loc="upper right")
    ax[4].plot(sorted(luma), [luma[k] for k in sorted(luma)])
    ax[4].set_ylabel("luma (Y avg)")
    ax[5].step(t, [0 if c["lens"]["irCutIn"] else 1 for c in cam], where="post")
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
    data = samples(root)
    flv = os.path.join(root, "tmp/video2.flv")
    luma = luma_by_second(flv)
    print("== what the ISP did")
    if data:
        cam = [s["camera"] for s in data]
        lux = [c["scene"]["lux"] for c in cam]
        exposure = [(c["sensor"]["shutter"], c["sensor"]["agcDb"] / AGC_UNITS) for c in cam]
        wb = [tuple(c["sensor"]["wb"]) for c in cam]
        night = [0 if c["lens"]["irCutIn"] else 1 for c in cam]
        print("scene        %.3g .. %.3g lux over %d s" % (min(lux), max(lux), data[-1]["t"] - data[0]["t"]))
        print("exposure     %d changes; now %.3g ms, %.1f dB; %s" % (
            changes(exposure), exposure[-1][0] / SHUTTER_UNITS * 1000, exposure[-1][1],
            "settled" if settled(exposure) else "still moving"))
        print("white bal.   %d changes; now R %d G %d B %d; %s" % (
            changes(wb), wb[-1][0], wb[-1][1], wb[-1][2], "settled" if settled(wb) else "still moving"))
        ups = sum(1 for a, b in zip(night, night[1:]) if b > a)
        downs = sum(1 for a, b in zip(night, night[1:]) if b < a)
        print("day/night    %d switches to night, %d to day; now %s" % (ups, downs, "night" if night[-1] else "day"))
        lens = cam[-1]["lens"]
        if os.path.exists(os.path.join(root, "lens_mcu.log")):
            print("auto focus   focus %d, in focus at %d (zoom %d)" % (lens["focus"], lens["focusInfinity"],
                                                                      lens["zoom"]))
    else:
        print("no samples of the camera's state")
    if luma:
        seconds = sorted(luma)
        print("luma         %.1f at first, %.1f .. %.1f, %.1f at the end" % (
            luma[seconds[0]], min(luma.values()), max(luma.values()), luma[seconds[-1]]))
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
    if data and plot(data, luma, figure):
        print("PNG   %s  (light, exposure, gain, white balance, luma and day/night over time)" % figure)
    elif data:
        print("no plot: python3-matplotlib is not installed")


if __name__ == "__main__":
    main()
