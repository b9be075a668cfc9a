#!/usr/bin/env python3
"""Plant single-line faults in the VISCA handlers, the settings mapping and the image-DSP record
writers, one at a time, and report which of them the tests catch.

    tools/mutation/mutation_check.py [--work DIR] [--jobs N] [--only ID,...] [--area AREA]
                                     [--no-baseline] [--list]

The tree is never written: the files git knows (tracked, and untracked ones it does not ignore) are
mirrored into WORK/src (only changed files are copied again, so rebuilds stay incremental), built in
WORK/build, and each mutant is planted there and taken out again before the next one, also on Ctrl-C.
Each mutant is a row of MUTANTS: the file, the text to find (it must occur exactly once in the file,
within one line), its replacement and what the fault is. A row whose text is not found (the code
has moved on) is reported "not applicable": update the row.

Per mutant: incremental build of the area's targets, then the area's test stages in order, each a
ctest selection, stopping at the first stage with a failing test. A test that fails beside others
is run again alone: only a failure that repeats counts; one that does not (a test upset by the load
of the machine) is named in the row and the stage goes on without it. Results:
  caught          a test failed, also alone (the first such test is named)
  survived        every stage passed
  build-broken    the mutant does not compile (reported apart, not counted)
  not applicable  the text was not found exactly once

Before the mutants, the stages of the areas in use run once on the unmutated build (--no-baseline
skips that); a failure there is an error of the set-up. The table and a summary go to standard
output, per-mutant logs to WORK/logs. Exit status: 0 when the check ran (whatever survived), 2 on
its own errors (configure or baseline build failed, baseline tests failed, bad arguments), 130 when
interrupted. Python 3 standard library only.
"""

import argparse
import hashlib
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

# ---- areas: the files they cover, what to build, the test stages -------------------------------

# Each stage is a list of ctest arguments; a later stage runs only while the earlier ones pass.
AREAS = {
    'visca': {
        'prefixes': ['kavo_imgproc/if_visca/'],
        'targets': ['kavo_tests_isp'],
        'stages': [
            ['-R', r'^Visca[A-Za-z0-9_]*\.'],
            ['-R', r'^kavo_ispserver_visca'],
            ['-R', r'^kavo_ispserver_', '-E', r'^kavo_ispserver_visca'],
        ],
    },
    'settings': {
        'prefixes': ['kavo_imgproc/thread_proc/CIsp_IPC.cpp', 'kavo_ispserver_gen2/src/kavo_ispipc/',
                     'kavo_ispserver_gen2/src/app_server/applysettings.cpp'],
        'targets': ['kavo_tests_isp'],
        'stages': [
            ['-R', r'^(IpcOpsTest|ManualWhiteBalance|PictureTest|ApplySettingsTest|Messenger[A-Za-z0-9_]*|IspSettings|'
                   r'ViscaCameraTest)\.'],
            ['-R', r'^kavo_ispserver_', '-E', r'^kavo_ispserver_visca'],
            ['-R', r'^kavo_ispserver_visca'],
        ],
    },
    'img_dsp': {
        'prefixes': ['kavo_imgproc/img_dsp/src/'],
        'targets': ['kavo_img_dsp_tests', 'kavo_img_dsp_ref_driver'],
        'stages': [
            ['-R', r'^(ImgDsp[A-Za-z0-9_]*\.|kavo_img_dsp_)'],
        ],
    },
}

# ---- the mutants: file, text to find, replacement, what the fault is -----------------------------

V_EXP = 'kavo_imgproc/if_visca/visca_exposure.cpp'
V_HND = 'kavo_imgproc/if_visca/visca_handlers.cpp'
V_LNS = 'kavo_imgproc/if_visca/visca_lens_cmds.cpp'
V_GEN = 'kavo_imgproc/if_visca/visca_general.cpp'
V_INQ = 'kavo_imgproc/if_visca/visca_inquiry.cpp'
S_IPC = 'kavo_imgproc/thread_proc/CIsp_IPC.cpp'
S_MSG = 'kavo_ispserver_gen2/src/kavo_ispipc/ispserver_messenger.cpp'
S_APP = 'kavo_ispserver_gen2/src/app_server/applysettings.cpp'
D_KER = 'kavo_imgproc/img_dsp/src/kernel.cpp'
D_FIR = 'kavo_imgproc/img_dsp/src/fir_design.cpp'
D_SHP = 'kavo_imgproc/img_dsp/src/sharpen.cpp'
D_COR = 'kavo_imgproc/img_dsp/src/coring.cpp'
D_MCT = 'kavo_imgproc/img_dsp/src/mctf.cpp'
D_SET = 'kavo_imgproc/img_dsp/src/setters.cpp'

MUTANTS = [
    # VISCA handlers.
    (V_EXP, 'case 6: SetAE_flick60(visca, 110); break;', 'case 6: SetAE_flick60(visca, 115); break;',
     '39 06 gives the 50 Hz flicker step'),
    (V_EXP, 'if (p[4] == 2 && index + 5 < maximum) index += 5;', 'if (p[4] == 2 && index + 5 < maximum) index += 4;',
     'gain up steps 4 AGC indexes'),
    (V_EXP, '150 * std::min(level, 100u)', '150 * std::min(level, 99u)', 'AE target level capped at 99'),
    (V_EXP, 'if (p[4] == 3) level = std::max(level - 1, 0);', 'if (p[4] == 3) level = std::max(level - 1, 1);',
     'exposure compensation stops at 1 going down'),
    (V_EXP, "if (p[3] == 0xD2) s->setIrisBalance(value);", "if (p[3] == 0xD2) s->setDCIrisDriver(value);",
     'D2 drives the DC iris instead of the balance'),
    (V_HND, 'g = v * 32 + 1;', 'g = v * 32;', 'direct red/blue gain without the + 1'),
    (V_HND, 'static constexpr int kLevels[7] = {-1, -1, 1, 0, 3, 2, 1};',
     'static constexpr int kLevels[7] = {-1, -1, 1, 0, 2, 3, 1};', 'WDR 04 and 05 swapped'),
    (V_HND, 'case 0x23: s->ptRight(ps, ts); break;', 'case 0x23: s->ptLeft(ps, ts); break;',
     'pan right drives left'),
    (V_HND, 'tilt = viscaNibbles(p, 6, 2), zoom = p[8];', 'tilt = viscaNibbles(p, 5, 2), zoom = p[8];',
     'PTZ tilt read a nibble early'),
    (V_HND, 'return (p[at] << 8) | (p[at + 1] << 4) | p[at + 2];', 'return (p[at] << 4) | (p[at + 1] << 8) | p[at + 2];',
     'mask coordinates with two nibbles swapped'),
    (V_HND, 'level = std::min<uint32_t>(level, g_isp.sys.model == TORVEX_BRISK ? 245 : 255);',
     'level = std::min<uint32_t>(level, g_isp.sys.model == TORVEX_BRISK ? 255 : 255);',
     'model 2 IR LED drive level not capped at 245'),
    (V_LNS, 'if (lens == TAMRON_X3 || lens == TAMRON_X30) return {607, 1888};',
     'if (lens == TAMRON_X3 || lens == TAMRON_X30) return {606, 1888};', 'lens 0/1 last zoom stop one short'),
    (V_LNS, '            s->focusNear();', '            s->focusFar();', 'focus far drives far (the motor runs reversed)'),
    (V_LNS, 'const int32_t step = (p[5] << 8) + (p[6] << 4) + p[7];',
     'const int32_t step = (p[5] << 4) + (p[6] << 8) + p[7];', 'relative zoom step with two nibbles swapped'),
    (V_LNS, 'int32_t target = p[4] == 1 ? now - step : p[4] == 0 ? now + step : step;',
     'int32_t target = p[4] == 1 ? now + step : p[4] == 0 ? now - step : step;', 'relative zoom sense reversed'),
    (V_LNS, 'case TAMRON_X30: return 109;', 'case TAMRON_X30: return 110;', 'lens 1 wide focus nominal off by one'),
    (V_GEN, '{0x0C, 0x0C, Rule::AeManual, GeneralGain, "GeneralGain"},',
     '{0x0C, 0x0C, Rule::AeManualOrShutter, GeneralGain, "GeneralGain"},', '0C accepted in shutter priority'),
    (V_GEN, '{0xF4, 0xF6, Rule::None, NoiseReduction, "setNR_manual"},',
     '{0xF4, 0xF5, Rule::None, NoiseReduction, "setNR_manual"},', 'F6 (temporal filter) dropped from the table'),
    (V_GEN, 'case 0xF5: setNR_DynaBPC_manual(isp, v); break;', 'case 0xF5: break;', 'F5 bad-pixel call dropped'),
    (V_GEN, 'const uint32_t count = p[4] < 15 ? p[4] : 15u;', 'const uint32_t count = p[4] < 15 ? p[4] : 14u;',
     'day-switch count capped at 14'),
    (V_GEN, 'static_cast<uint8_t>(value >> 8 & 0xF),', 'static_cast<uint8_t>(value >> 4 & 0xF),',
     'value reply: second nibble from the wrong position'),
    (V_INQ, 'return viscaValueReply(p, ae != nullptr ? ae->agcIndex.load(kRelaxed) : 0);',
     'return viscaValueReply(p, ae != nullptr ? ae->shutterIndex.load(kRelaxed) : 0);', 'FB answers the shutter index'),
    (V_INQ, 'return viscaShortReply(p, static_cast<uint8_t>(g_isp.settingsAeMode.load(kRelaxed)));',
     'return viscaShortReply(p, static_cast<uint8_t>(g_isp.viscaAeMode.load(kRelaxed)));',
     'AE mode inquiry answers the VISCA code'),
    (V_INQ, 'return viscaValueReply(p, static_cast<uint16_t>((in0 & 1) | (in1 & 1) << 1));',
     'return viscaValueReply(p, static_cast<uint16_t>((in1 & 1) | (in0 & 1) << 1));', 'video-port inputs swapped'),
    # Settings mapping.
    (S_IPC, 'return setBrightness(isp, static_cast<int>(v * 128 / 100) - 64);',
     'return setBrightness(isp, static_cast<int>(v * 128 / 100) - 63);', 'brightness offset 63'),
    (S_IPC, 'return setHue(isp, static_cast<int>(30 * v / 100) - 15);',
     'return setHue(isp, static_cast<int>(30 * v / 100) - 16);', 'hue offset 16'),
    (S_IPC, '92, 99, 109, 120, 129, 135, 139, 145, 153, 155, 157, 158};',
     '92, 109, 99, 120, 129, 135, 139, 145, 153, 155, 157, 158};', 'shutter positions 14 and 15 swapped'),
    (S_IPC, 'set(10, 2, 3);', 'set(10, 3, 3);', 'shutter priority gets settings code 3'),
    (S_IPC, 'if (ae != nullptr) ae->fastestFlickerStep.store(118);',
     'if (ae != nullptr) ae->fastestFlickerStep.store(123);', 'flick60 takes the 50 Hz flicker step'),
    (S_IPC, 'ae->set_icr_sensitivity(thd2night < 300 ? 0 : thd2night == 300 ? 1 : 2);',
     'ae->set_icr_sensitivity(thd2night <= 300 ? 0 : thd2night == 300 ? 1 : 2);', 'night threshold 300 as below'),
    (S_IPC, 'ae->set_ae_ir2day_cnt_bound(cnt2day);', 'ae->set_ae_ir2day_cnt_bound(thd2day);',
     'day-switch count bound from the day threshold'),
    (S_IPC, 'const uint32_t m = std::min(kAgcTop * std::min(v, 100u) / 100, kAgcTop);',
     'const uint32_t m = std::min(kAgcTop * std::min(v, 100u) / 100, kAgcTop - 1);', 'gain limit capped at 197'),
    (S_IPC, 'g_isp.irLedDriveLevel.store(215, std::memory_order_relaxed);',
     'g_isp.irLedDriveLevel.store(245, std::memory_order_relaxed);', 'auto IR LED drive level 245'),
    (S_MSG, 'LINK(hue, image(), hue)', 'LINK(hue, image(), saturation)', 'hue kept in the saturation key'),
    (S_MSG, '{&F::hue, &block.hue, &F::irOnStsHue},', '{&F::hue, &block.hue, &F::irOnStsContrast},',
     'hue read under the contrast night flag'),
    (S_MSG, '{&F::irOnValHue, "irOnValHue", 3, false},', '{&F::irOnValHue, "irOnValHue", 2, false},',
     'night hue value goes to saturation'),
    (S_MSG, 'if (F::irLedMode.get(live) == "manual") ipc_set_ir_on(isp, F::irLedLevel.get(live) != 0 ? 1 : 0);',
     'if (F::irLedMode.get(live) == "auto") ipc_set_ir_on(isp, F::irLedLevel.get(live) != 0 ? 1 : 0);',
     'IR state from the LED level in auto mode'),
    (S_MSG, 'if (isp != nullptr) ipc_set_wdr(isp, F::wdr.get(live));', ';', 'WDR change not applied'),
    (S_APP, 'ipc_set_shutter_limits(isp, 1000000 / shutterMin, 1000000 / shutterMax);',
     'ipc_set_shutter_limits(isp, 1000000 / shutterMax, 1000000 / shutterMin);', 'shutter limits swapped'),
    (S_APP, 'const uint8_t sts[6] = {image.irOnStsBrightness(), image.irOnStsContrast(), image.irOnStsSaturation(),',
     'const uint8_t sts[6] = {image.irOnStsBrightness(), image.irOnStsSaturation(), image.irOnStsContrast(),',
     'night flags of contrast and saturation swapped'),
    (S_APP, 'uint32_t shutterDenominator(uint32_t v) { return v == 0 ? 30 : v; }',
     'uint32_t shutterDenominator(uint32_t v) { return v == 0 ? 25 : v; }', 'shutter 0 as 1/25 s'),
    (S_APP, '  ipc_set_dss(isp, p.dssOn.load(), p.dssMinimum.load());', '', 'DSS not applied at start-up'),
    (S_APP, 'p.dssOn.store(ae.dss().mode() == "on" ? 1 : 0);', 'p.dssOn.store(ae.dss().mode() != "off" ? 1 : 0);',
     'DSS on unless "off"'),
    # Image-DSP record writers.
    (D_KER, '{12, 13, 14, 15, 16, 17, 18, 19, 4, 5, 6, 7,', '{12, 13, 14, 15, 16, 17, 19, 18, 4, 5, 6, 7,',
     'direction record: places of taps 6 and 7 swapped'),
    (D_KER, '(static_cast<uint32_t>(half[24]) & 0x1ffu)', '(static_cast<uint32_t>(half[24]) & 0xffu)',
     'direction record: centre cut to 8 bits'),
    (D_KER, 'word = (word & ~(7u << (3 * direction)))', 'word = (word & ~(3u << (3 * direction)))',
     'shift word: old top bit of the field kept'),
    (D_FIR, 'IMG_DSP_KIND_NEG_HIGH_PASS, d, &shift, k);', 'IMG_DSP_KIND_HIGH_PASS, d, &shift, k);',
     '7x7 FIR2 of kind 1 instead of 2'),
    (D_FIR, 'img_dsp_make_kernel(d == 0 ? filter->isotropic_strength : filter->directional_strength, 1,',
     'img_dsp_make_kernel(d == 0 ? filter->directional_strength : filter->isotropic_strength, 1,',
     '7x7 FIR2 strengths swapped'),
    (D_FIR, 'l.low = 10, l.low_0 = 12, l.low_delta = 1, l.high = 20, l.high_0 = 22, l.high_delta = 1, l.area = 6;',
     'l.low = 10, l.low_0 = 12, l.low_delta = 1, l.high = 20, l.high_0 = 21, l.high_delta = 1, l.area = 6;',
     'pass-through level high_0 21'),
    (D_SHP, 'l.high_0 = static_cast<uint8_t>(v.high + pow2Byte(v.high_delta));',
     'l.high_0 = static_cast<uint8_t>(v.high + pow2Byte(v.low_delta));', 'level high_0 from low_delta'),
    (D_SHP, 's.luma.alpha[0] = alpha->alpha[1];', 's.luma.alpha[0] = alpha->alpha[0];',
     'alpha bytes not reversed'),
    (D_SHP, 'img_dsp_level_info{6, 3, 16, 16, 14, 1, 16}', 'img_dsp_level_info{6, 3, 16, 16, 14, 2, 16}',
     '7x7 spatial response high_delta 2'),
    (D_SHP, 'if (strength < -1 || strength > (wide ? 256 : 192)) {', 'if (strength < -1 || strength > (wide ? 256 : 191)) {',
     'FIR strength bound 191'),
    (D_SHP, 'clamp.clip_low = wide ? static_cast<int16_t>(std::max(-change, int32_t{kClipLow})) : kClipLow;',
     'clamp.clip_low = wide ? static_cast<int16_t>(std::max(-change, int32_t{kClipLow})) : kClipHigh;',
     'standard clamp low clip 4095'),
    (D_COR, '+ 32768u * table[4 * j + 3];', '+ 32768u * table[4 * j + 2];', 'coring word: fourth field from the third entry'),
    (D_COR, 'table[128] = std::max<uint8_t>(table[128], static_cast<uint8_t>(std::min(s, 8)));',
     'table[128] = std::max<uint8_t>(table[128], static_cast<uint8_t>(std::min(s, 4)));', 'retain centre capped at 4'),
    (D_MCT, 'd.t2[0] = info->threshold[2];', 'd.t2[0] = info->threshold[3];', 'temporal filter t2 from byte 5'),
    (D_MCT, 'c.edges |= uint32_t{d->edge[k]} << (6 * k);', 'c.edges |= uint32_t{d->edge[k]} << (8 * k);',
     'temporal filter edges in bytes'),
    (D_SET, 'r.b_gain = gains->b * 64;', 'r.b_gain = gains->r * 64;', 'blue gain from red'),
    (D_SET, 'constexpr int kBayerLevel[4][4] = {{0, 1, 2, 3}, {3, 2, 1, 0}, {1, 0, 3, 2}, {2, 3, 0, 1}};',
     'constexpr int kBayerLevel[4][4] = {{0, 1, 2, 3}, {3, 2, 1, 0}, {2, 3, 0, 1}, {1, 0, 3, 2}};',
     'black level: Bayer orders 2 and 3 swapped'),
]

# ---- running things -------------------------------------------------------------------------------


class SetupError(Exception):
    """An error of the check itself (not of a mutant)."""


_child = None  # the running child, killed with its group when the check is stopped


def _on_terminate(signum, _frame):
    raise KeyboardInterrupt(signum)


def run(cmd, log, cwd=None, env=None):
    """Runs `cmd` in a session of its own with output appended to `log`; returns the exit code."""
    global _child
    with open(log, 'a') as out:
        out.write('$ ' + ' '.join(cmd) + '\n')
        out.flush()
        _child = subprocess.Popen(cmd, cwd=cwd, env=env, stdout=out, stderr=subprocess.STDOUT,
                                  stdin=subprocess.DEVNULL, start_new_session=True)
        try:
            return _child.wait()
        except BaseException:
            try:
                os.killpg(_child.pid, signal.SIGTERM)
                _child.wait(timeout=20)
            except (ProcessLookupError, subprocess.TimeoutExpired):
                try:
                    os.killpg(_child.pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
                _child.wait()
            raise
        finally:
            _child = None


def area_of(path):
    for name, area in AREAS.items():
        if any(path == p or (p.endswith('/') and path.startswith(p)) for p in area['prefixes']):
            return name
    return None


class Checker:
    def __init__(self, repo, work, jobs):
        self.repo = repo
        self.src = os.path.join(work, 'src')
        self.build = os.path.join(work, 'build')
        self.logs = os.path.join(work, 'logs')
        self.manifest = os.path.join(work, 'manifest')
        self.jobs = jobs
        for d in (self.src, self.build, self.logs):
            os.makedirs(d, exist_ok=True)
        self.env = dict(os.environ)
        self.env.setdefault('CMAKE_CXX_COMPILER_LAUNCHER', 'ccache')
        self.env.setdefault('CMAKE_C_COMPILER_LAUNCHER', 'ccache')
        # Paths below the mirror hash as relative ones, so a second run of the check finds its objects.
        self.env.setdefault('CCACHE_BASEDIR', work)

    # The mirror of the tree: files git knows, copied when their content changed.
    def sync(self):
        listing = subprocess.run(['git', '-C', self.repo, 'ls-files', '-z', '--cached', '--others',
                                  '--exclude-standard'], check=True, capture_output=True).stdout
        files = sorted({f for f in listing.decode().split('\0') if f and os.path.isfile(os.path.join(self.repo, f))})
        old = set()
        if os.path.exists(self.manifest):
            with open(self.manifest) as m:
                old = set(m.read().split('\0')) - {''}
        for f in old - set(files):
            try:
                os.remove(os.path.join(self.src, f))
            except FileNotFoundError:
                pass
        copied = 0
        for f in files:
            a, b = os.path.join(self.repo, f), os.path.join(self.src, f)
            if os.path.exists(b) and _same(a, b):
                continue
            os.makedirs(os.path.dirname(b), exist_ok=True)
            shutil.copy2(a, b)
            copied += 1
        with open(self.manifest, 'w') as m:
            m.write('\0'.join(files))
        return copied

    def configure(self):
        log = os.path.join(self.logs, 'setup.log')
        if not os.path.exists(os.path.join(self.build, 'build.ninja')):
            if run(['cmake', '-S', self.src, '-B', self.build, '-G', 'Ninja', '-DKAVO_WERROR=ON'], log, env=self.env):
                raise SetupError('configure failed: see ' + log)

    def build_targets(self, targets, log):
        return run(['cmake', '--build', self.build, '-j', str(self.jobs), '--target'] + targets, log, env=self.env)

    def ctest(self, args, log):
        """Runs a ctest selection: (passed, names of the failed tests)."""
        start = os.path.getsize(log) if os.path.exists(log) else 0
        code = run(['ctest', '--test-dir', self.build, '-j', str(self.jobs), '--no-tests=error',
                    '--stop-on-failure', '--output-on-failure'] + args, log, env=self.env)
        with open(log, errors='replace') as f:
            f.seek(start)
            text = f.read()
        if 'No tests were found' in text:
            raise SetupError('no test matches ' + ' '.join(args) + ' (see ' + log + ')')
        failed = re.findall(r'^\s*\d+ - (\S+) \(', text.split('The following tests FAILED:')[-1], re.M) \
            if 'The following tests FAILED:' in text else []
        if code != 0 and not failed:
            failed = ['(ctest exit %d)' % code]
        return code == 0, failed

    def stage(self, args, log):
        """Runs a stage: (the first test that fails also when run alone, or None; the tests that failed
        beside others but passed alone, which the stage then runs without)."""
        flaky = []
        for _ in range(3):
            selection = list(args)
            if flaky:
                alone = '|'.join('^%s$' % re.escape(t) for t in flaky)
                if '-E' in selection:
                    i = selection.index('-E') + 1
                    selection[i] = '(%s)|%s' % (selection[i], alone)
                else:
                    selection += ['-E', alone]
            ok, failed = self.ctest(selection, log)
            if ok:
                return None, flaky
            for t in failed:
                if t.startswith('(') or not self.ctest(['-R', '^%s$' % re.escape(t)], log)[0]:
                    return t, flaky
                flaky.append(t)
        return failed[0], flaky


def _same(a, b):
    if os.path.getsize(a) != os.path.getsize(b):
        return False
    with open(a, 'rb') as x, open(b, 'rb') as y:
        return x.read() == y.read()


def locate(text, find):
    """Line number (from 1) of the one occurrence of `find`, or a reason why there is none."""
    count = text.count(find)
    if count != 1:
        return None, 'text found %d times' % count
    return text[:text.index(find)].count('\n') + 1, None


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    parser.add_argument('--repo', default=os.path.normpath(os.path.join(here, '..', '..')))
    parser.add_argument('--work', help='scratch folder (default: a folder of this tree under the temp dir)')
    parser.add_argument('--jobs', type=int, default=3)
    parser.add_argument('--only', help='comma-separated mutant numbers')
    parser.add_argument('--area', choices=sorted(AREAS))
    parser.add_argument('--no-baseline', action='store_true')
    parser.add_argument('--list', action='store_true', help='list the mutants and where they apply, run nothing')
    args = parser.parse_args()
    signal.signal(signal.SIGTERM, _on_terminate)

    repo = os.path.abspath(args.repo)
    work = os.path.abspath(args.work or os.path.join(
        tempfile.gettempdir(), 'kavo-mutation-%s' % hashlib.sha1(repo.encode()).hexdigest()[:10]))
    if os.path.commonpath([work, repo]) == repo:
        print('the scratch folder must lie outside the tree', file=sys.stderr)
        return 2

    rows = []
    for number, (path, find, replace, what) in enumerate(MUTANTS, 1):
        area = area_of(path)
        if area is None or '\n' in find or '\n' in replace or find == replace:
            print('mutant %d: bad row (%s)' % (number, path), file=sys.stderr)
            return 2
        rows.append({'n': number, 'path': path, 'find': find, 'replace': replace, 'what': what, 'area': area})
    if args.only:
        wanted = {int(x) for x in args.only.split(',')}
        rows = [r for r in rows if r['n'] in wanted]
    if args.area:
        rows = [r for r in rows if r['area'] == args.area]

    for r in rows:
        full = os.path.join(repo, r['path'])
        if not os.path.exists(full):
            r['line'], r['why'] = None, 'file not found'
            continue
        with open(full) as f:
            r['line'], r['why'] = locate(f.read(), r['find'])
    if args.list:
        for r in rows:
            where = '%s:%s' % (r['path'], r['line'] or '-')
            print('%3d %-8s %-58s %s%s' % (r['n'], r['area'], where, r['what'],
                                          '' if r['line'] else '  [not applicable: %s]' % r['why']))
        return 0

    checker = Checker(repo, work, args.jobs)
    started = time.monotonic()
    current = None  # (mirror path, original text) while a mutant is planted
    try:
        print('mirror %s: %d files copied' % (work, checker.sync()), flush=True)
        checker.configure()
        applicable = [r for r in rows if r['line']]
        areas = sorted({r['area'] for r in applicable})
        setup_log = os.path.join(checker.logs, 'setup.log')
        targets = sorted({t for a in areas for t in AREAS[a]['targets']})
        if targets and checker.build_targets(targets, setup_log):
            raise SetupError('the unmutated tree does not build: see ' + setup_log)
        if not args.no_baseline:
            done = []
            for a in areas:
                for stage in AREAS[a]['stages']:
                    if stage in done:
                        continue
                    done.append(stage)
                    t0 = time.monotonic()
                    failing, flaky = checker.stage(stage, setup_log)
                    print('baseline %-8s %-70s %s (%.0f s)%s' % (a, ' '.join(stage), 'FAILED' if failing else 'passed',
                                                                    time.monotonic() - t0,
                                                                    ' flaky: ' + ', '.join(flaky) if flaky else ''),
                          flush=True)
                    if failing:
                        raise SetupError('baseline fails (%s): see %s' % (failing, setup_log))

        for r in rows:
            t0 = time.monotonic()
            if not r['line']:
                r['result'], r['by'], r['seconds'] = 'not applicable', r['why'], 0.0
                print_row(r, flush=True)
                continue
            area = AREAS[r['area']]
            log = os.path.join(checker.logs, 'mutant-%02d.log' % r['n'])
            if os.path.exists(log):
                os.remove(log)
            target = os.path.join(checker.src, r['path'])
            with open(target) as f:
                original = f.read()
            current = (target, original)
            with open(target, 'w') as f:
                f.write(original.replace(r['find'], r['replace'], 1))
            result, by, flaky = 'survived', '', []
            if checker.build_targets(area['targets'], log):
                result = 'build-broken'
            else:
                for stage in area['stages']:
                    failing, more = checker.stage(stage, log)
                    flaky += more
                    if failing:
                        result, by = 'caught', failing
                        break
            with open(target, 'w') as f:
                f.write(original)
            current = None
            if flaky:
                by = (by + ' ' if by else '') + '(failed only beside others: %s)' % ', '.join(flaky)
            r['result'], r['by'], r['seconds'] = result, by, time.monotonic() - t0
            print_row(r, flush=True)
    except SetupError as e:
        print('error: %s' % e, file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print('\ninterrupted', file=sys.stderr)
        return 130
    finally:
        if current:
            with open(current[0], 'w') as f:
                f.write(current[1])

    print()
    print('%3s  %-8s  %-56s  %-14s  %6s  %s' % ('#', 'area', 'where', 'result', 'secs', 'fault / caught by'))
    for r in rows:
        print_row(r, table=True)
    done = [r for r in rows if 'result' in r]
    counts = {k: sum(1 for r in done if r['result'] == k) for k in ('caught', 'survived', 'build-broken', 'not applicable')}
    meaningful = counts['caught'] + counts['survived']
    print()
    for a in sorted({r['area'] for r in done}):
        mine = [r for r in done if r['area'] == a]
        print('%-8s caught %d of %d' % (a, sum(1 for r in mine if r['result'] == 'caught'),
                                       sum(1 for r in mine if r['result'] in ('caught', 'survived'))))
    print('caught %d of %d mutants (survived %d; build-broken %d and not applicable %d not counted); %.0f s'
          % (counts['caught'], meaningful, counts['survived'], counts['build-broken'], counts['not applicable'],
             time.monotonic() - started))
    return 0


def print_row(r, table=False, flush=False):
    where = '%s:%s' % (r['path'].split('/')[-1], r['line'] or '-')
    if table:
        detail = r['what'] + (' / ' + r['by'] if r.get('by') else '')
        print('%3d  %-8s  %-56s  %-14s  %6.0f  %s' % (r['n'], r['area'], where, r.get('result', '-'),
                                                        r.get('seconds', 0), detail))
    else:
        print('mutant %2d %-8s %-28s %-14s %5.0f s  %s%s' % (r['n'], r['area'], where, r['result'], r['seconds'],
                                                            r['what'], ' / ' + r['by'] if r['by'] else ''),
              flush=flush)


if __name__ == '__main__':
    sys.exit(main())
