#!/usr/bin/env python3
"""Corpus check of the AAC encoder in mode 0: every corpus file, mono and stereo, at every
supported sampling rate and at the lowest and highest bit rate of that rate, encoded with
aac_stream (ADTS).  A stream passes when the encoder prints nothing (so no "ERROR writing"
message), ffmpeg decodes it with nothing on stderr (-v warning, less the demuxer's remark that an
ADTS file has no stored duration), the total bits lie within one
maximum reservoir below bit rate x duration (and not above it), no frame's counted bits ran
over the element maxima, and the longest frame fits them.  Quality levels 0..2 and TNS on/off
rotate over the files so that each combination occurs.

Usage: corpus_check.py BUILD_DIR [--secs S] [--jobs N] [--rates R,R,...] [--out FILE.md]"""
import argparse
import concurrent.futures
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import corpus  # noqa: E402

# sampling rate: lowest and highest bit rate per channel in mode 0
RANGES = {8000: (8000, 12000), 11025: (8000, 40000), 12000: (8000, 40000), 16000: (16000, 80000),
          22050: (16000, 80000), 24000: (16000, 80000), 32000: (16000, 160000), 44100: (16000, 160000),
          48000: (16000, 160000)}
ADTS_HEADER_BITS = 56
# the demuxer's remark on any raw ADTS file (no container duration), not about the stream
PROBE_NOTE = 'Estimating duration from bitrate'


def run(cmd):
    r = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    return r.returncode, r.stdout, r.stderr


def check(tool, tmp, src, rate, ch, br, quality, tns):
    base = os.path.join(tmp, '%s_%d_%d' % (os.path.basename(src)[:-4], ch, br))
    aac = base + '.aac'
    rc, out, err = run([tool, src, str(br), aac, str(quality), str(tns)])
    fails = []
    if rc:
        return ['aac_stream exit %d: %s' % (rc, err.strip())], None
    if err:
        fails.append('encoder stderr: %r' % err[:200])
    frames, bits, target, max_res, too_long, longest, max_bits = (int(float(v)) for v in out.split())
    if bits > target + 8:
        fails.append('bits %d above target %d' % (bits, target))
    if bits < target - max_res - 8:
        fails.append('bits %d below target %d by more than the reservoir %d' % (bits, target, max_res))
    if too_long:
        fails.append('%d frames over the element maxima' % too_long)
    if longest - ADTS_HEADER_BITS > max_bits:
        fails.append('longest frame %d bits over %d' % (longest, max_bits))
    rc, _, derr = run(['ffmpeg', '-nostdin', '-v', 'warning', '-i', aac, '-f', 'null', '-'])
    derr = ''.join(ln for ln in derr.splitlines(True) if PROBE_NOTE not in ln)
    if rc or derr:
        fails.append('ffmpeg: %s' % derr.strip()[:300])
    os.remove(aac)
    return fails, (bits - target) / max(1, max_res)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('build')
    ap.add_argument('--secs', type=float, default=3)
    ap.add_argument('--jobs', type=int, default=3)
    ap.add_argument('--rates', default='')
    ap.add_argument('--out', default='')
    a = ap.parse_args()
    tool = os.path.join(a.build, 'bench', 'aac_stream')
    rates = [int(r) for r in a.rates.split(',')] if a.rates else sorted(RANGES)
    stereo = corpus.STEREO + corpus.MONO  # mono material also as a centred stereo image
    jobs = []
    failures = []
    stats = {}
    with tempfile.TemporaryDirectory() as tmp:
        for rate in rates:
            lo, hi = RANGES[rate]
            for nm in corpus.MONO + corpus.STEREO:
                corpus.make(tmp, rate, a.secs, nm)
            for nm in corpus.MONO:
                src = os.path.join(tmp, '%s_%d.wav' % (nm, rate))
                run(['sox', '-R', src, '-c', '2', os.path.join(tmp, '%s_%d_st.wav' % (nm, rate))])
            i = 0
            for ch, names in ((1, corpus.MONO), (2, stereo)):
                for br in (lo * ch, hi * ch):
                    for nm in names:
                        src = os.path.join(tmp, '%s_%d%s.wav' % (nm, rate, '_st' if ch == 2 and nm in corpus.MONO
                                                                 else ''))
                        jobs.append((rate, ch, br, nm, src, i % 3, (i // 3) % 2))
                        i += 1
        with concurrent.futures.ThreadPoolExecutor(a.jobs) as ex:
            futs = {ex.submit(check, tool, tmp, j[4], j[0], j[1], j[2], j[5], j[6]): j for j in jobs}
            for fu in concurrent.futures.as_completed(futs):
                rate, ch, br, nm, src, q, tns = futs[fu]
                fails, dev = fu.result()
                key = (rate, ch, br)
                s = stats.setdefault(key, [0, 0, 1e9, -1e9])
                s[0] += 1
                if fails:
                    s[1] += 1
                    failures.append('%d Hz %d ch %d bit/s %s (q%d tns%d): %s' % (rate, ch, br, nm, q, tns,
                                                                             '; '.join(fails)))
                if dev is not None:
                    s[2] = min(s[2], dev)
                    s[3] = max(s[3], dev)
    lines = ['| rate | ch | bit/s | files | failed | (bits - target) / max reservoir, min .. max |',
             '|---|---|---|---|---|---|']
    for key in sorted(stats):
        s = stats[key]
        lines.append('| %d | %d | %d | %d | %d | %+.3f .. %+.3f |' % (key + (s[0], s[1], s[2], s[3])))
    total = sum(s[0] for s in stats.values())
    summary = '%d passed, %d failed' % (total - len(failures), len(failures))
    text = '\n'.join(lines) + '\n\n' + ''.join('- %s\n' % f for f in sorted(failures)) + summary + '\n'
    print(text, end='')
    if a.out:
        with open(a.out, 'w') as f:
            f.write('# AAC encoder corpus check (mode 0, ADTS, %g s per file)\n\n' % a.secs)
            f.write(text)
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
