#!/usr/bin/env python3
"""Quality of the camera's AAC encoder side by side with `ffmpeg -c:a aac`, in one run.

For each configuration (rate, channels, bit rate) and corpus file, both encoders write ADTS
at the same bit rate; the same ffmpeg decodes both; aac_quality aligns each decoding with the
input and measures band-limited segmental SNR and log-spectral distance in the band that both
encoders keep (the smaller of the two measured bandwidths).  Writes a Markdown table.

Usage: quality.py BUILD_DIR OUT.md [--secs S] [--quality Q] [--tns] [--configs R/C/B,...] [--jobs N]"""
import argparse
import concurrent.futures
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import corpus  # noqa: E402

CONFIGS = [(48000, 1, 64000), (48000, 2, 64000), (48000, 2, 128000), (44100, 2, 128000), (44100, 1, 96000),
           (32000, 1, 48000), (24000, 1, 32000), (16000, 1, 24000)]


def run(cmd):
    r = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    return r.returncode, r.stdout, r.stderr


def measure(tool, orig, dec, cutoff):
    rc, out, err = run([tool, orig, dec, str(cutoff)])
    if rc != 0:
        raise RuntimeError(err)
    d, snr, lsd, bw = out.split()
    return float(snr), float(lsd), float(bw)


def compare(job, enc, tool, a):
    rate, ch, br, nm, src, base = job
    ours, theirs = base + 'o.aac', base + 'f.aac'
    od, fd = base + 'o.wav', base + 'f.wav'
    cmd = [enc, '-b', str(br), '-q', str(a.quality)] + (['-T'] if a.tns else []) + [src, ours]
    rc, _, err = run(cmd)
    if rc or err:
        raise RuntimeError('aacenc_wav failed on %s: %s' % (src, err))
    rc, _, err = run(['ffmpeg', '-nostdin', '-v', 'error', '-y', '-i', src, '-c:a', 'aac', '-b:a', str(br), theirs])
    if rc:
        raise RuntimeError(err)
    for f, d in ((ours, od), (theirs, fd)):
        rc, _, err = run(['ffmpeg', '-nostdin', '-v', 'error', '-y', '-i', f, '-ar', str(rate), '-ac', str(ch), '-c:a',
                          'pcm_s16le', d])
        if rc or err.strip():
            raise RuntimeError('ffmpeg decoding %s: %s' % (f, err))
    _, _, bo = measure(tool, src, od, rate / 2)
    _, _, bf = measure(tool, src, fd, rate / 2)
    cut = max(1000.0, min(bo, bf))
    so, lo, _ = measure(tool, src, od, cut)
    sf, lf, _ = measure(tool, src, fd, cut)
    # the same a tenth lower in the band: how much of a gap sits at the band edge
    so9, _, _ = measure(tool, src, od, cut * 0.9)
    sf9, _, _ = measure(tool, src, fd, cut * 0.9)
    sz_o, sz_f = os.path.getsize(ours), os.path.getsize(theirs)
    for f in (ours, theirs, od, fd):
        os.remove(f)
    return (rate, ch, br, nm, cut, so, sf, lo, lf, bo, bf, sz_o, sz_f, so9, sf9)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('build')
    ap.add_argument('out')
    ap.add_argument('--secs', type=float, default=8)
    ap.add_argument('--quality', type=int, default=0)
    ap.add_argument('--tns', action='store_true')
    ap.add_argument('--configs', default='')
    ap.add_argument('--jobs', type=int, default=3)
    a = ap.parse_args()
    enc = os.path.join(a.build, 'bin', 'aacenc_wav')
    tool = os.path.join(a.build, 'bench', 'aac_quality')
    configs = CONFIGS
    if a.configs:
        configs = [tuple(int(v) for v in c.split('/')) for c in a.configs.split(',')]
    jobs = []
    with tempfile.TemporaryDirectory() as tmp:
        for rate, ch, br in configs:
            names = corpus.MONO if ch == 1 else corpus.STEREO + ['speech', 'castanets', 'tone', 'sweep']
            for nm in names:
                src = corpus.make(tmp, rate, a.secs, nm)
                if ch == 2 and nm in corpus.MONO:  # mono material as a centred stereo image
                    st = os.path.join(tmp, '%s_%d_st.wav' % (nm, rate))
                    if not os.path.exists(st):
                        run(['sox', '-R', src, '-c', '2', st])
                    src = st
                jobs.append((rate, ch, br, nm, src, os.path.join(tmp, 'j%d' % len(jobs))))
        with concurrent.futures.ThreadPoolExecutor(a.jobs) as ex:
            rows = list(ex.map(lambda j: compare(j, enc, tool, a), jobs))
    for r in rows:
        print('%5d %d %6d %-10s cut %5.0f  snr %6.2f / %6.2f  lsd %5.2f / %5.2f  bw %5.0f / %5.0f' % r[:11])
    worst = [r for r in rows if r[5] < r[6] - 3]
    with open(a.out, 'w') as f:
        f.write('# AAC encoder quality against ffmpeg -c:a aac\n\n')
        f.write('quality level %d, TNS %s, %g s per file; both decoded by the same ffmpeg.  SNR: band-limited '
                'segmental SNR (dB, higher is better); LSD: log-spectral distance (dB, lower is better); band: the '
                'smaller of the two measured bandwidths (Hz); size: bytes written (ours / ffmpeg).\n\n' %
                (a.quality, 'on' if a.tns else 'off', a.secs))
        f.write('| rate | ch | kbit/s | file | band | SNR ours | SNR ffmpeg | diff | LSD ours | LSD ffmpeg | size ours '
                '| size ffmpeg |\n|---|---|---|---|---|---|---|---|---|---|---|---|\n')
        for r in rows:
            f.write('| %d | %d | %d | %s | %.0f | %.2f | %.2f | %+.2f | %.2f | %.2f | %d | %d |\n' %
                    (r[0], r[1], r[2] // 1000, r[3], r[4], r[5], r[6], r[5] - r[6], r[7], r[8], r[11], r[12]))
        f.write('\nFiles more than 3 dB below ffmpeg: %d\n' % len(worst))
        for r in worst:
            f.write('- %d Hz, %d ch, %d kbit/s, %s: %.2f dB against %.2f dB; in 90 %% of the band %.2f against '
                    '%.2f dB\n' % (r[0], r[1], r[2] // 1000, r[3], r[5], r[6], r[13], r[14]))
    return 0


if __name__ == '__main__':
    sys.exit(main())
