#!/usr/bin/env python3
"""Writes the AAC test corpus (16-bit WAV) into a folder: sox and espeak-ng signals plus
stereo images made in code.  Usage: corpus.py OUTDIR RATE SECONDS [names...]"""
import math
import os
import random
import struct
import subprocess
import sys
import wave


def write(path, rate, chans):
    n = len(chans[0])
    with wave.open(path, 'wb') as w:
        w.setnchannels(len(chans))
        w.setsampwidth(2)
        w.setframerate(rate)
        frames = bytearray()
        for i in range(n):
            for c in chans:
                v = max(-32768, min(32767, int(round(c[i]))))
                frames += struct.pack('<h', v)
        w.writeframes(bytes(frames))


def read(path):
    with wave.open(path, 'rb') as w:
        n, ch = w.getnframes(), w.getnchannels()
        data = struct.unpack('<%dh' % (n * ch), w.readframes(n))
    return [list(data[c::ch]) for c in range(ch)]


def sox(out, rate, secs, *effects):
    """Mono signal from sox; -R fixes the noise seed so that every run writes the same corpus."""
    subprocess.run(['sox', '-R', '-n', '-r', str(rate), '-c', '1', '-b', '16', out, 'synth', str(secs)] + list(effects),
                   check=True, stderr=subprocess.DEVNULL)


def speech(out, rate, secs):
    tmp = out + '.raw.wav'
    text = ('The camera records the scene and sends the stream to every viewer. '
            'Seven quick brown foxes jump over the lazy dogs while the bells ring twice. ') * 4
    subprocess.run(['espeak-ng', '-w', tmp, '-s', '150', text], check=True, stderr=subprocess.DEVNULL)
    subprocess.run(['sox', '-R', tmp, '-r', str(rate), '-c', '1', '-b', '16', out, 'trim', '0', str(secs), 'gain', '-n',
                    '-3'], check=True, stderr=subprocess.DEVNULL)
    os.remove(tmp)


def castanets(rate, secs, seed=5):
    rnd = random.Random(seed)
    n = int(rate * secs)
    x = [0.0] * n
    t = 0
    while t < n:
        f = rnd.uniform(1500, 4000)
        amp = rnd.uniform(8000, 26000)
        dur = int(rate * 0.03)
        for i in range(min(dur, n - t)):
            env = math.exp(-i / (rate * 0.004))
            x[t + i] += amp * env * (math.sin(2 * math.pi * f * i / rate) + 0.5 * rnd.uniform(-1, 1))
        t += int(rate * rnd.uniform(0.08, 0.35))
    return x


def clicks(rate, secs):
    n = int(rate * secs)
    x = [0.0] * n
    step = int(rate * 0.25)
    for t in range(step // 2, n, step):
        x[t] = 28000
        x[t + 1] = -28000
    return x


MONO = ['pink', 'speech', 'tone', 'chord', 'sweep', 'clicks', 'castanets', 'quiet', 'full']
STEREO = ['identical', 'panned', 'antiphase', 'oneside', 'pink2', 'music2']


def make(outdir, rate, secs, name):
    path = os.path.join(outdir, '%s_%d.wav' % (name, rate))
    if os.path.exists(path):
        return path
    tmp = path + '.m.wav'
    if name in ('pink', 'identical', 'panned', 'antiphase', 'oneside'):
        sox(tmp, rate, secs, 'pinknoise', 'gain', '-12')
    elif name == 'speech':
        speech(tmp, rate, secs)
    elif name == 'tone':
        sox(tmp, rate, secs, 'sine', '1000', 'gain', '-6')
    elif name == 'chord':
        sox(tmp, rate, secs, 'sine', '262', 'sine', '330', 'sine', '392', 'sine', '523', 'remix', '1-4', 'gain', '-n',
            '-6')
    elif name == 'sweep':
        sox(tmp, rate, secs, 'sine', '50:%d' % (rate * 45 // 100), 'gain', '-6')
    elif name == 'quiet':
        sox(tmp, rate, secs, 'pinknoise', 'gain', '-n', '-60')
    elif name == 'full':
        sox(tmp, rate, secs, 'square', '440', 'gain', '-n', '0')
    elif name == 'clicks':
        write(tmp, rate, [clicks(rate, secs)])
    elif name == 'castanets':
        write(tmp, rate, [castanets(rate, secs)])
    elif name == 'pink2':
        # one run of sox for both channels: with the fixed seed (-R) two runs would draw the
        # same numbers and the channels would be related
        subprocess.run(['sox', '-R', '-n', '-r', str(rate), '-c', '2', '-b', '16', path, 'synth', str(secs),
                        'pinknoise', 'brownnoise', 'gain', '-12'], check=True, stderr=subprocess.DEVNULL)
        return path
    elif name == 'music2':
        a, b = tmp + 'a.wav', tmp + 'b.wav'
        speech(a, rate, secs)
        write(b, rate, [castanets(rate, secs, 9)])
        sa, sb = read(a)[0], read(b)[0]
        ch = [0.0] * len(sa)
        ch2 = [0.0] * len(sa)
        for i in range(len(sa)):
            t = 8000 * math.sin(2 * math.pi * 220 * i / rate) * (0.5 + 0.5 * math.sin(2 * math.pi * 0.5 * i / rate))
            ch[i] = 0.7 * sa[i] + 0.3 * sb[i] + t
            ch2[i] = 0.3 * sa[i] + 0.7 * sb[i] + 0.6 * t
        write(path, rate, [ch, ch2])
        os.remove(a)
        os.remove(b)
        return path
    m = read(tmp)[0]
    os.remove(tmp)
    if name in MONO:
        write(path, rate, [m])
    elif name == 'identical':
        write(path, rate, [m, m])
    elif name == 'panned':
        write(path, rate, [[0.9 * v for v in m], [0.3 * v for v in m]])
    elif name == 'antiphase':
        write(path, rate, [m, [-v for v in m]])
    elif name == 'oneside':
        write(path, rate, [m, [0] * len(m)])
    return path


if __name__ == '__main__':
    out, rate, secs = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
    names = sys.argv[4:] or MONO + STEREO
    os.makedirs(out, exist_ok=True)
    for nm in names:
        print(make(out, rate, secs, nm))
