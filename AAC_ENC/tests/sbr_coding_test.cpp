// SBR delta coding against a decoder built from the standard's rules (time deltas across a
// change of frequency resolution, the balance channel's halved steps, noise floors), the
// element writer at the payload's capacity, and the parametric-stereo writer's choices.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "aac_ps.h"
#include "aac_sbr.h"
#include "aac_sbr_int.h"
#include "aac_sbr_tables.h"

namespace {

SbrFreqTables tablesOf(int rate, int start, int stop, int scale, int noise_bands) {
  SbrHeaderData h{};
  h.amp_res = 1;
  h.start_freq = start;
  h.stop_freq = stop;
  h.freq_scale = scale;
  h.alter_scale = 1;
  h.noise_bands = noise_bands;
  SbrFreqTables t{};
  EXPECT_EQ(sbrFreqTablesUpdate(&h, rate, &t), 0);
  return t;
}

// What a decoder keeps between envelopes: the last envelope at its own resolution.
struct Decoder {
  const SbrFreqTables *ft;
  std::vector<int> prev;
  int prev_res = -1;
  bool noise = false;  // noise floors: one resolution, the noise band count
  int n(int res) const { return noise ? ft->nq : (res ? ft->n_hi : ft->n_lo); }
  void decode(const int *delta, int res, int time, int mul, int *out) {
    const int cnt = n(res);
    for (int k = 0; k < cnt; k++) {
      if (!time) {
        out[k] = k ? out[k - 1] + delta[k] * mul : delta[0] * mul;
        continue;
      }
      int ref;
      if (res == prev_res) {
        ref = prev[size_t(k)];
      } else if (res == 0) {  // low after high: the high band that starts where this one starts
        int i = 0;
        while (ft->hi[i] != ft->lo[k]) i++;
        ref = prev[size_t(i)];
      } else {  // high after low: the low band that holds this one
        int j = 0;
        while (!(ft->lo[j] <= ft->hi[k] && ft->hi[k] < ft->lo[j + 1])) j++;
        ref = prev[size_t(j)];
      }
      out[k] = ref + delta[k] * mul;
    }
    prev.assign(out, out + cnt);
    prev_res = res;
  }
};

// The first valid header of a rate whose high band count has the given parity, or the one
// with the most high bands (parity -1).  Master tables have even counts: an odd high count
// takes an odd crossover band.
SbrFreqTables searchTables(int rate, int parity) {
  SbrFreqTables best{};
  for (int scale = 1; scale <= 3; scale++)
    for (int start = 0; start < 16; start++)
      for (int stop = 0; stop < 14; stop++) {
        SbrHeaderData h{};
        h.amp_res = 1;
        h.start_freq = start;
        h.stop_freq = stop;
        h.freq_scale = scale;
        h.alter_scale = 1;
        h.noise_bands = 2;
        h.xover_band = parity > 0 ? 1 : 0;
        SbrFreqTables t{};
        if (sbrFreqTablesUpdate(&h, rate, &t) != 0) continue;
        if (parity >= 0 && (t.n_hi & 1) == parity) return t;
        if (parity < 0 && t.n_hi > best.n_hi) best = t;
      }
  EXPECT_LT(parity, 0) << "no header of parity " << parity;
  return best;
}

}  // namespace

// Random frames of one to five envelopes with random resolutions: every value decodes back
// exactly, whichever direction the coder chose, for both parities of the high band count.
TEST(SbrDeltaCoding, DecodesBackAcrossResolutionChanges) {
  // the tuning rows all give even counts; a decoder also takes headers with odd ones
  const SbrFreqTables tables[] = {tablesOf(44100, 12, 9, 2, 3), tablesOf(48000, 3, 5, 3, 1),
                                  tablesOf(32000, 4, 13, 1, 2), searchTables(44100, 1), searchTables(48000, 1)};
  bool odd = false, even = false;
  std::mt19937 rng(5);
  for (const SbrFreqTables &ft : tables) {
    odd |= (ft.n_hi & 1) == 1;
    even |= (ft.n_hi & 1) == 0;
    for (int bal = 0; bal <= 1; bal++)
      for (int amp = 0; amp <= 1; amp++) {
        SbrCodeEnv env, noise;
        SbrHuffSet hs;
        sbrCodeEnvOpen(&env, ft.n_hi, ft.n_lo, 9830, 9830, 0);
        sbrCodeEnvOpen(&noise, ft.nq, ft.nq, 0, 0, 1);
        ASSERT_EQ(sbrHuffmanTablesInit(&hs, &env, &noise, amp), 0);
        Decoder de{&ft, {}, -1, false}, dn{&ft, {}, -1, true};
        const int mul = bal ? 2 : 1, top = (amp ? 63 : 127) / (bal ? 3 : 1), ntop = bal ? 24 : 30;
        int level = top / 2, times = 0, forced = 0;
        for (int frame = 0; frame < 300; frame++) {
          const int n_env = 1 + int(rng() % 5), n_noise = n_env > 1 ? 2 : 1;
          const int force = frame == 0 || rng() % 7 == 0;
          int32_t res[5], values[5 * SBR_MAX_HI] = {0}, nvalues[2 * SBR_MAX_NOISE] = {0}, dir[5], ndir[2];
          int want[5][SBR_MAX_HI], nwant[2][SBR_MAX_NOISE];
          for (int e = 0; e < n_env; e++) {
            res[e] = int(rng() % 2);
            level = std::max(4, std::min(top - 4, level + int(rng() % 9) - 4));
            for (int k = 0; k < (res[e] ? ft.n_hi : ft.n_lo); k++) {
              int v = std::max(0, std::min(top, level + int(rng() % 7) - 3));
              if (bal) v &= ~1;  // balance values are even steps
              want[e][k] = v;
              values[e * SBR_MAX_HI + k] = v;
            }
          }
          for (int e = 0; e < n_noise; e++)
            for (int k = 0; k < ft.nq; k++) {
              int v = int(rng() % 3) + (frame % 20);
              v = std::min(ntop, bal ? v & ~1 : v);
              nwant[e][k] = v;
              nvalues[e * SBR_MAX_NOISE + k] = v;
            }
          sbrCodeEnvelope(values, res, &env, dir, bal, n_env, bal, force);
          sbrCodeEnvelope(nvalues, nullptr, &noise, ndir, bal, n_noise, bal, force);
          if (force) {
            ASSERT_EQ(dir[0], 0) << "a self-contained element starts along frequency";
            ASSERT_EQ(ndir[0], 0);
            forced++;
          }
          for (int e = 0; e < n_env; e++) {
            times += dir[e];
            int got[SBR_MAX_HI];
            de.decode(&values[e * SBR_MAX_HI], res[e], dir[e], mul, got);
            for (int k = 0; k < de.n(res[e]); k++)
              ASSERT_EQ(got[k], want[e][k]) << "frame " << frame << " env " << e << " band " << k << " res " << res[e]
                                             << " time " << dir[e] << " bal " << bal << " amp " << amp;
          }
          for (int e = 0; e < n_noise; e++) {
            int got[SBR_MAX_HI];
            dn.decode(&nvalues[e * SBR_MAX_NOISE], 1, ndir[e], mul, got);
            for (int k = 0; k < ft.nq; k++) ASSERT_EQ(got[k], nwant[e][k]) << "noise frame " << frame << " band " << k;
          }
          sbrCodeEnvFrameDone(&env, dir[0]);
        }
        EXPECT_GT(times, 100) << "time coding is taken where it is cheaper";
        EXPECT_GT(forced, 10);
      }
  }
  EXPECT_TRUE(odd && even);
}

// An element larger than the payload: the writer stops at the capacity (nothing beyond the
// buffer is touched), the refused bits are counted, and the element's true size is
// reported, so that the driver can tell that it did not fit.
TEST(SbrElementWriter, ElementAboveThePayloadCapacityIsRefusedNotOverrun) {
  const SbrFreqTables ft = searchTables(32000, -1);
  const SbrBook *book = sbrBook(1, 0, 0, 0);
  int longest = 0;
  for (int i = 0; i < 2 * book->lav + 1; i++)
    if (book->len[i] > book->len[longest]) longest = i;
  SbrChannelData ch[2];
  for (SbrChannelData &c : ch) {
    std::memset(&c, 0, sizeof(c));
    c.fi.frame_class = FIXFIX;
    c.fi.n_env = 4;
    for (int i = 0; i <= 4; i++) c.fi.borders[i] = 4 * i;
    for (int i = 0; i < 4; i++) c.fi.freq_res[i] = 1;
    c.fi.short_env = -1;
    ASSERT_EQ(sbrFrameInfoFinish(&c.fi), 0);
    c.amp_res = 1;
    for (int e = 0; e < 4; e++)
      for (int k = 0; k < ft.n_hi; k++) c.env[e * SBR_MAX_HI + k] = k ? longest - book->lav : 40;
  }
  std::vector<uint8_t> buf(SBR_PAYLOAD_BYTES + 16, 0xA5);
  AacBitBuf bb;
  sbrPayloadBegin(buf.data(), &bb, 0);
  const int32_t counted = sbrCountChannelPairBits(buf.data(), &bb, &ch[0], &ch[1], &ft, 0);
  EXPECT_EQ(aacBitBufCount(&bb), 4) << "counting leaves the buffer as it was";
  EXPECT_EQ(bb.overflow, 0u);
  const int32_t bits = sbrWriteChannelPairElement(buf.data(), &bb, &ch[0], &ch[1], &ft, 0);
  EXPECT_EQ(bits, counted);
  EXPECT_GT(bits + 4, 8 * SBR_PAYLOAD_BYTES);
  EXPECT_GT(bb.overflow, 0u);
  EXPECT_LE(aacBitBufCount(&bb), 8 * SBR_PAYLOAD_BYTES);
  for (size_t i = SBR_PAYLOAD_BYTES; i < buf.size(); i++) ASSERT_EQ(buf[i], 0xA5) << "byte " << i;
}

// The parametric-stereo bytes in the extended data: a size below 15 in 4 bits, from 15 on
// as 15 and the rest in 8 bits, the bits as the writer made them, zero-padded to bytes.
TEST(SbrElementWriter, ExtendedDataSizeEscape) {
  const SbrFreqTables ft = tablesOf(44100, 12, 9, 2, 2);
  SbrChannelData ch;
  std::memset(&ch, 0, sizeof(ch));
  ch.fi.frame_class = FIXFIX;
  ch.fi.n_env = 1;
  ch.fi.borders[1] = 16;
  ch.fi.freq_res[0] = 1;
  ch.fi.short_env = -1;
  ASSERT_EQ(sbrFrameInfoFinish(&ch.fi), 0);
  uint8_t ps[40];
  for (int i = 0; i < 40; i++) ps[i] = uint8_t(0x5A + 7 * i);
  for (int ps_bits : {1, 14 * 8, 14 * 8 + 1, 15 * 8, 30 * 8 - 3}) {
    std::vector<uint8_t> buf(SBR_PAYLOAD_BYTES, 0);
    AacBitBuf bb;
    aacBitBufOpen(&bb, SBR_PAYLOAD_BYTES, 0);
    const int32_t bits = sbrWriteSingleChannelElement(buf.data(), &bb, &ch, &ft, ps, ps_bits);
    const int bytes = (ps_bits + 7) / 8;
    const int head = bits - 8 * bytes - (bytes < 15 ? 5 : 13);  // the element up to the extended data
    auto bit = [&](int p) { return (buf[size_t(p >> 3)] >> (7 - (p & 7))) & 1; };
    auto get = [&](int p, int n) {
      int v = 0;
      for (int i = 0; i < n; i++) v = 2 * v + bit(p + i);
      return v;
    };
    ASSERT_EQ(get(head, 1), 1) << ps_bits;
    if (bytes < 15) {
      EXPECT_EQ(get(head + 1, 4), bytes) << ps_bits;
    } else {
      EXPECT_EQ(get(head + 1, 4), 15) << ps_bits;
      EXPECT_EQ(get(head + 5, 8), bytes - 15) << ps_bits;
    }
    const int data = head + (bytes < 15 ? 5 : 13);
    for (int i = 0; i < ps_bits; i++) ASSERT_EQ(bit(data + i), (ps[i >> 3] >> (7 - (i & 7))) & 1) << ps_bits << " bit " << i;
    for (int i = ps_bits; i < 8 * bytes; i++) ASSERT_EQ(bit(data + i), 0) << ps_bits << " pad bit " << i;
    EXPECT_EQ(bits, data + 8 * bytes);
  }
}

namespace {

struct PsBits {
  const uint8_t *p;
  int pos = 0;
  uint32_t get(int n) {
    uint32_t v = 0;
    for (int i = 0; i < n; i++, pos++) v = (v << 1) | ((p[pos >> 3] >> (7 - (pos & 7))) & 1u);
    return v;
  }
};

}  // namespace

TEST(PsWriter, HeaderRepetitionDirectionsAndQuantisation) {
  PsEncoder ps;
  ASSERT_EQ(PsEncoderOpen(&ps, 0), 0);
  PsResetHeaderFlagForTest();
  const int nb = ps.n_bands;
  ASSERT_EQ(nb, 20);
  // thresholds: exactly on the first step quantises to 0; the extremes of the coherence
  for (int b = 0; b < nb; b++) {
    ps.iid[b] = b % 3 == 0 ? iidQuantLeft[0] : (b % 3 == 1 ? iidQuantRight[0] : 1 << 23);
    ps.icc[b] = 0x7FFFFFFF;
  }
  // the first header of the process goes out even without the independent flag; with all
  // indices 0 neither parameter follows
  int32_t bits = PsWriteData(&ps, 0);
  {
    PsBits r{ps.area};
    EXPECT_EQ(r.get(2), 2u);  // extension identifier
    EXPECT_EQ(r.get(1), 1u);  // header
    EXPECT_EQ(r.get(1), 0u);  // IID off: every index 0
    EXPECT_EQ(r.get(1), 0u);  // ICC off
    EXPECT_EQ(r.get(1), 0u);  // no extension
    EXPECT_EQ(r.get(1), 0u);  // frame class
    r.get(2);
    EXPECT_EQ(r.pos, bits) << "nothing follows the envelope count when both are off";
  }
  EXPECT_EQ(PsWriteData(&ps, 0), -1) << "the buffer still holds the last payload";
  aacBitBufOpen(&ps.bb, PS_PAYLOAD_AREA, 0);

  // a real image: left-heavy bands and falling coherence
  for (int b = 0; b < nb; b++) {
    ps.iid[b] = iidQuantLeft[b % 7] + 1;
    ps.icc[b] = b < 10 ? iccQuant[b % 8] : int32_t(0x80000000);
  }
  bits = PsWriteData(&ps, 1);
  {
    PsBits r{ps.area};
    r.get(2);
    EXPECT_EQ(r.get(1), 1u) << "an independent frame carries the header";
    EXPECT_EQ(r.get(1), 1u);
    EXPECT_EQ(r.get(3), 1u);  // 20 bands
    EXPECT_EQ(r.get(1), 1u);
    EXPECT_EQ(r.get(3), 1u);
    r.get(1);
    r.get(1);
    EXPECT_EQ(r.get(2), 1u);  // one envelope
    EXPECT_EQ(r.get(1), 0u) << "IID along frequency";
    int idx[20], prev = 0;
    for (int b = 0; b < nb; b++) {
      uint32_t v = 0;
      int found = -1;
      for (int len = 1; len <= 20 && found < 0; len++) {
        v = (v << 1) | r.get(1);
        for (int i = 0; i < 29; i++)
          if (aBookPsIidFreqLength[i] == len && aBookPsIidFreqCode[i] == v) found = i;
      }
      ASSERT_GE(found, 0);
      idx[b] = prev + found - 14;
      prev = idx[b];
      EXPECT_EQ(idx[b], b % 7 + 1) << "IID band " << b;
    }
    EXPECT_EQ(r.get(1), 0u) << "ICC along frequency";
    prev = 0;
    for (int b = 0; b < nb; b++) {
      uint32_t v = 0;
      int found = -1;
      for (int len = 1; len <= 16 && found < 0; len++) {
        v = (v << 1) | r.get(1);
        for (int i = 0; i < 15; i++)
          if (aBookPsIccFreqLength[i] == len && aBookPsIccFreqCode[i] == v) found = i;
      }
      ASSERT_GE(found, 0);
      prev += found - 7;
      EXPECT_EQ(prev, b < 10 ? b % 8 : 7) << "ICC band " << b;
    }
    EXPECT_EQ(r.pos, bits);
  }
  // the same parameters again, not independent: identifier, header flag 0, class, count 0
  aacBitBufOpen(&ps.bb, PS_PAYLOAD_AREA, 0);
  EXPECT_EQ(PsWriteData(&ps, 0), 6);
  EXPECT_EQ(ps.area[0] >> 2, 0x20);
}
