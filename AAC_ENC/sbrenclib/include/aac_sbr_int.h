/* Inside the SBR encoder: the records of one instance and the operations of its modules
 * (support arithmetic, frequency tables, QMF bank, transient detection and time grid,
 * parameter estimation, envelope coding and bitstream).  Every record is pointer-free: it
 * lives in the encoder's working memory; row pointers are passed on the stack. */
#ifndef AAC_SBR_INT_H
#define AAC_SBR_INT_H

#include <stdint.h>

#include "aac_bitbuf.h"

#ifdef __cplusplus
extern "C" {
#endif

#define SBR_QMF_BANDS 64
#define SBR_QMF_SLOTS 32
#define SBR_TIME_SLOTS 16
#define SBR_MAX_ENV 5
#define SBR_MAX_HI 48      /* high-resolution bands */
#define SBR_MAX_LO 24
#define SBR_MAX_NOISE 5
#define SBR_MAX_NOISE_ENV 2
#define SBR_ESTIMATES 2    /* tonality estimates per frame */
/* The frame's time slot 0 is QMF slot -8 of the frame's analysis (the grid lead-in): the
 * envelope energies of the frame span time slots 0..19, four of them from the previous frame. */
#define SBR_LEAD_IN 4
#define SBR_ENERGY_ROWS 20
#define SBR_PAYLOAD_BYTES 256

/* ---- support arithmetic ---- */
int32_t SbrMulDiv(int32_t a, int32_t b, int32_t c);
void ShellSortInt(int32_t *v, int32_t count);
void VecInsertFront(int32_t *v, int32_t *len, int32_t value);
void VecPrependReversed(int32_t *v, int32_t *len, const int32_t *src, int32_t n);
void VecAppend(int32_t *v, int32_t *len, int32_t value);
/* log2(x) of an integer x >= 1 in Q26, exact to about 2^-25 (0 for x <= 1). */
int32_t sbrLog2Fine(uint32_t x);

/* ---- frequency band tables ---- */
typedef struct SbrHeaderData {
  int32_t amp_res, start_freq, stop_freq, xover_band, freq_scale, alter_scale, noise_bands;
  int32_t limiter_bands, limiter_gains, interpolation, smoothing;
  int32_t extra1, extra2;
} SbrHeaderData;

typedef struct SbrFreqTables {
  int8_t master[SBR_MAX_HI + 1];
  int8_t hi[SBR_MAX_HI + 1];
  int8_t lo[SBR_MAX_LO + 1];
  int8_t noise[SBR_MAX_NOISE + 1];
  int32_t n_master, n_hi, n_lo, nq;
  int32_t k0, k2, kx, m;
} SbrFreqTables;

int32_t sbrStartBandOf(int32_t sbr_rate, int32_t start);
/* k2 before limiting to 64; -1 for a rate without a stop table (stop index below 14). */
int32_t sbrStopBandOf(int32_t sbr_rate, int32_t stop, int32_t k0);
int32_t sbrStartFreqHz(int32_t start, int32_t bands, int32_t sbr_rate);
/* 0, or 1 when the header gives no valid tables. */
int sbrFreqTablesUpdate(const SbrHeaderData *h, int32_t sbr_rate, SbrFreqTables *t);
/* Noise-floor table of (noise bands, low-resolution table); 0, or 1 above five bands. */
int sbrNoiseTableUpdate(int32_t noise_bands, const int8_t *lo, int32_t n_lo, int32_t k2, int8_t *noise,
                        int32_t *nq);
/* Source band of every QMF band after the decoder's patching (-1: none; bands outside
 * every patch keep their own index); 0, or 1 above five patches. */
int sbrBuildSourceIndex(const SbrFreqTables *t, int32_t sbr_rate, int8_t *src);

/* ---- QMF analysis ---- */
typedef struct QmfBank {
  int32_t bands, filter_len;
  int32_t out_scale;  /* exponent of the last frame's subband samples */
  int32_t hist_scale; /* exponent of the samples in the history */
  int32_t taps, slots, reserved, pad;
  int16_t history[576]; /* window samples 64..639 (newest first) */
} QmfBank;

int QmfAnalysisOpen(int32_t channel, QmfBank *q, int32_t open_flag, int32_t frame_length);
void QmfAnalysisFrame(const int16_t *in, int32_t stride, int16_t *const *re, int16_t *const *im, QmfBank *q);
void QmfAnalysisClose(QmfBank *q);
void QmfSlotPairEnergies(int32_t *const *nrg, int16_t *const *re, int16_t *const *im, int32_t bands, int32_t slots);
/* One slot's 64 real and imaginary values of a 64-sample block (exposed for the tests). */
void QmfModulate(const int32_t *u, int16_t *re, int16_t *im);

/* ---- transient detection and frame splitting ---- */
typedef struct SbrTransientDetector {
  int32_t energy[48];   /* per QMF slot: 16 of the previous frame, 32 of this one */
  int32_t measure[48];
  int32_t energy_scale; /* exponent of the stored energies (all at one exponent) */
  int32_t split_threshold;
  int32_t window;       /* running-statistics length N */
  int32_t armed;
  int32_t maximum;
  int32_t prev_low_energy;
  int32_t prev_low_scale;
  int32_t low_band;
  int32_t pad;
} SbrTransientDetector;

typedef struct SbrTransientInfo {
  int32_t pos;   /* time slot of the transient, or the split decision without one */
  int32_t flag;
} SbrTransientInfo;

int sbrTransientDetectorOpen(SbrTransientDetector *d, int32_t frame_length, int32_t sbr_rate, int32_t std_rate,
                             int32_t bit_rate, int32_t threshold, int32_t low_band);
void sbrTransientDetectorUpdateRate(SbrTransientDetector *d, int32_t frame_length, int32_t sbr_rate,
                                    int32_t std_rate, int32_t bit_rate);
int32_t sbrSplitThreshold(int32_t frame_length, int32_t sbr_rate, int32_t std_rate, int32_t bit_rate);
/* Slot energies of the frame's 32 QMF slots (bands first .. stop - 1) into the detector
 * and the detection over the frame. */
void sbrDetectTransient(int16_t *const *re, int16_t *const *im, int32_t qmf_scale, SbrTransientDetector *d,
                        int32_t first, int32_t stop, SbrTransientInfo *out);
/* Splitting decision from the frame's energy rows (rows 0..15 of the frame's time slots),
 * their exponent, the frequency table and the low-band energy; only without a transient. */
void sbrFrameSplitter(int32_t *const *rows, int32_t row_scale, SbrTransientDetector *d, const int8_t *hi,
                      int32_t n_hi, int32_t low_band, SbrTransientInfo *info);

/* ---- frame info and generator ---- */
enum { FIXFIX = 0, FIXVAR = 1, VARFIX = 2, VARVAR = 3 };

typedef struct SbrFrameInfo {
  int32_t n_env;
  int32_t borders[SBR_MAX_ENV + 1];
  int32_t freq_res[SBR_MAX_ENV];
  int32_t short_env;     /* envelope that starts at the transient, -1 for none */
  int32_t n_noise;
  int32_t noise_borders[SBR_MAX_NOISE_ENV + 1];
  /* grid fields */
  int32_t frame_class;
  int32_t var_bord0, var_bord1, n_rel0, n_rel1;
  int32_t rel0[3], rel1[3];
  int32_t pointer;
} SbrFrameInfo;

typedef struct SbrFrameGen {
  int32_t prev_class;
  int32_t spread;
  int32_t n_carry;
  int32_t carry_border[8]; /* borders planned beyond the last frame's end, shifted down by 16 */
  int32_t carry_res[8];
  int32_t carry_short;     /* index in carry_border of the transient border, -1 for none */
  int32_t static_framing, allow_spread, static_envs;
  int32_t slots, lead_in, dmin, dmax;
  int32_t prev_tran_slot;  /* time slot of the last transient relative to this frame, large when none */
} SbrFrameGen;

void sbrFrameGenOpen(SbrFrameGen *g, int32_t allow_spread, int32_t static_framing, int32_t static_envs);
void sbrFrameInfoGenerate(SbrFrameGen *g, const SbrTransientInfo *tran, SbrFrameInfo *fi);
/* Checks the fields of a frame info against the grid syntax and fills the noise borders
 * the decoder derives; 0 when codable. */
int sbrFrameInfoFinish(SbrFrameInfo *fi);
int sbrFrameInfoEqual(const SbrFrameInfo *a, const SbrFrameInfo *b);

/* ---- tonality and the estimators that use it ---- */
typedef struct SbrTonality {
  int32_t quota[SBR_ESTIMATES][SBR_QMF_BANDS];     /* Q11 */
  int32_t band_nrg[SBR_ESTIMATES][SBR_QMF_BANDS];  /* mean slot energy at exponent 0 (saturated) */
  int16_t lag_re[2][SBR_QMF_BANDS], lag_im[2][SBR_QMF_BANDS]; /* the last two slots of the previous frame */
  int32_t lag_scale;
  int32_t first_band, stop_band;
  int8_t src[SBR_QMF_BANDS];
  /* inverse filtering */
  int32_t invf_hist_orig[3][SBR_MAX_NOISE], invf_hist_sbr[3][SBR_MAX_NOISE];
  int32_t invf_prev_region_orig[SBR_MAX_NOISE], invf_prev_region_sbr[SBR_MAX_NOISE];
  int32_t invf_mode_prev[SBR_MAX_NOISE];
  /* missing harmonics */
  int8_t mh_prev_detected[SBR_MAX_HI];
  int32_t mh_guide_diff[SBR_MAX_HI], mh_guide_tone[SBR_MAX_HI];
  int32_t mh_prev_tran; /* previous frame had a transient */
  /* noise floor */
  int32_t nf_hist[4][SBR_MAX_NOISE_ENV * SBR_MAX_NOISE];
  int32_t noise_offset_factor; /* Q31 */
  int32_t noise_max_level;     /* Q29 */
  int32_t invf_setting, mh_mode, invf_detect;
} SbrTonality;

int sbrTonalityOpen(SbrTonality *t, const SbrFreqTables *ft, int32_t sbr_rate, int32_t noise_offset,
                    int32_t noise_max_level, int32_t invf_mode, int32_t mh_mode);
void sbrTonalityAnalyse(SbrTonality *t, int16_t *const *re, int16_t *const *im, int32_t qmf_scale);

typedef struct SbrTonalityOut {
  int32_t invf[SBR_MAX_NOISE];
  int8_t harmonic[SBR_MAX_HI];
  int8_t compensation[SBR_MAX_HI];
  int32_t any_harmonic;
  int32_t noise[SBR_MAX_NOISE_ENV * SBR_MAX_NOISE]; /* Q29-like levels before quantisation (Q31 scale / 4) */
} SbrTonalityOut;

void sbrTonalityCorrection(SbrTonality *t, const SbrFrameInfo *fi, const SbrTransientInfo *tran,
                           const SbrFreqTables *ft, SbrTonalityOut *out);
/* Quantised noise values: one channel; a coupled pair (level in a, balance in b). */
void sbrQuantiseNoise(const int32_t *noise, int32_t n, int32_t *q);
void sbrCoupleNoise(const int32_t *l, const int32_t *r, int32_t n, int32_t *level, int32_t *balance);

/* ---- envelope estimation ---- */
/* Quantised envelope values of one channel (coupled: out_bal receives the balance of the
 * pair and out the level).  rows[c] are the 20 energy rows of channel c at exponent
 * scale[c] (energy of the unscaled signal = row value * 2^-scale). */
void sbrEstimateEnvelope(int32_t *const *rows_l, int32_t scale_l, int32_t *const *rows_r, int32_t scale_r,
                         const SbrFrameInfo *fi, const SbrFreqTables *ft, const int8_t *harmonic_l,
                         const int8_t *harmonic_r, const int8_t *comp_l, const int8_t *comp_r, int32_t amp_res,
                         int32_t harm_comp, int32_t coupled, int32_t *out_l, int32_t *out_r);

/* ---- envelope coding ---- */
typedef struct SbrCodeEnv {
  int32_t prev[SBR_MAX_HI];  /* previous envelope at high resolution */
  int32_t n_hi, n_lo, offset;
  int32_t time_allowed;
  int32_t weight0, weight1;  /* Q15 first-envelope weights */
  int32_t weight_counter;
  int32_t amp_res;           /* 0: 1.5 dB, 1: 3.0 dB; -1 for the noise coder */
  int32_t is_noise;
} SbrCodeEnv;

typedef struct SbrHuffSet {
  int32_t amp_res;
  int32_t lav_level, lav_bal;
  int32_t start_bits_level, start_bits_bal;
} SbrHuffSet;

void sbrCodeEnvOpen(SbrCodeEnv *c, int32_t n_hi, int32_t n_lo, int32_t w0, int32_t w1, int32_t is_noise);
int sbrHuffmanTablesInit(SbrHuffSet *h, SbrCodeEnv *env, SbrCodeEnv *noise, int32_t amp_res);
/* Replaces the values of each envelope by its deltas and sets its direction (0 frequency,
 * 1 time); returns 0. n_bands[i] is the value count of envelope i. */
int32_t sbrCodeEnvelope(int32_t *values, const int32_t *freq_res, SbrCodeEnv *c, int32_t *dir, int32_t coupling,
                        int32_t n_env, int32_t channel, int32_t force_freq);
/* The Huffman book of a kind of value (host-side view of the constant tables). */
typedef struct SbrBook {
  const uint32_t *code;
  const uint8_t *len;
  int32_t lav;        /* largest delta; entry = delta + lav */
  int32_t start_bits; /* bits of a frequency-coded first value */
} SbrBook;
/* noise != 0: noise-floor books; balance != 0: channel 1 of a coupled pair; time != 0: along time */
const SbrBook *sbrBook(int32_t amp_res, int32_t noise, int32_t balance, int32_t time);
/* Ends a frame of the envelope coder: the first-envelope weight follows its direction. */
void sbrCodeEnvFrameDone(SbrCodeEnv *c, int32_t first_env_time);

/* ---- bitstream ---- */
typedef struct SbrChannelData {
  SbrFrameInfo fi;
  int32_t amp_res;                              /* of this frame */
  int32_t env[SBR_MAX_ENV * SBR_MAX_HI];        /* coded deltas, SBR_MAX_HI per envelope */
  int32_t noise[SBR_MAX_NOISE_ENV * SBR_MAX_NOISE];
  int32_t dir_env[SBR_MAX_ENV], dir_noise[SBR_MAX_NOISE_ENV];
  int32_t invf[SBR_MAX_NOISE];
  int8_t harmonic[SBR_MAX_HI];
  int32_t add_harmonic;
} SbrChannelData;

int32_t sbrWriteHeader(uint8_t *base, AacBitBuf *bb, const SbrHeaderData *h, int32_t header_flag);
int32_t sbrWriteGrid(uint8_t *base, AacBitBuf *bb, const SbrFrameInfo *fi);
int32_t sbrWriteSingleChannelElement(uint8_t *base, AacBitBuf *bb, const SbrChannelData *ch, const SbrFreqTables *ft,
                                     const uint8_t *ps_bytes, int32_t ps_bits);
int32_t sbrWriteChannelPairElement(uint8_t *base, AacBitBuf *bb, const SbrChannelData *c0, const SbrChannelData *c1,
                                   const SbrFreqTables *ft, int32_t coupling);
/* Bits of the channel-pair element, written and taken back. */
int32_t sbrCountChannelPairBits(uint8_t *base, AacBitBuf *bb, const SbrChannelData *c0, const SbrChannelData *c1,
                                const SbrFreqTables *ft, int32_t coupling);
void sbrPayloadBegin(uint8_t *base, AacBitBuf *bb, int32_t crc);
/* Fill bits, extension type (and CRC); returns the payload bits (a multiple of 8). */
int32_t sbrPayloadAssemble(uint8_t *base, AacBitBuf *bb, int32_t crc);
uint32_t sbrCrc10(const uint8_t *base, int32_t start_bit, int32_t bits);

#ifdef __cplusplus
}
#endif
#endif
