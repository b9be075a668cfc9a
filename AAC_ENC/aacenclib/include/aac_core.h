/* The AAC-LC core coder: open on the core configuration, one frame per call into a raw
 * data block, close.  All state lives in the working memory (pointer-free records). */
#ifndef AAC_CORE_H
#define AAC_CORE_H

#include <stdint.h>

#include "aac_bitbuf.h"
#include "aac_blockswitch.h"
#include "aac_tns.h"
#include "aac_transform.h"
#include "aac_psy.h"
#include "aac_qc.h"

#ifdef __cplusplus
extern "C" {
#endif

#define AAC_CORE_STATE_BYTES 20504u
#define AAC_MAX_CHANNELS 2
#define AAC_MAX_ELEMENTS 3
#define AAC_MAX_CODED_ELEMENTS 2 /* a data stream element carries no audio */

enum { ID_SCE = 0, ID_CPE = 1, ID_DSE = 4, ID_FIL = 6, ID_END = 7 };
enum { AAC_MODE_MONO = 1, AAC_MODE_DUAL_MONO = 2, AAC_MODE_STEREO = 3 };

typedef struct AacElementInfo {
  int32_t kind;        /* ID_SCE, ID_CPE or ID_DSE */
  int32_t tag;         /* element_instance_tag, counted per kind */
  int32_t n_channels;
  int32_t channel[2];  /* coded channel indexes */
} AacElementInfo;

typedef struct AacElementList {
  int32_t channel_mode;
  int32_t n_elements;
  AacElementInfo el[AAC_MAX_ELEMENTS];
} AacElementList;


/* Core coder state, the first module of the working memory (20504 bytes). */
typedef struct AacCoreState {
  int32_t config[15];
  int32_t sample_rate;
  int32_t bit_rate;
  int32_t channels_in;
  int32_t coded_channels;
  int32_t bandwidth;
  int32_t quality;
  int32_t tns_flags;        /* bit 1 long blocks, bit 0 short blocks */
  AacElementList elements;
  uint32_t psy_channel[AAC_MAX_CHANNELS]; /* offsets of the AacPsyChannel records */
  AacTnsConfig tns_long[AAC_MAX_ELEMENTS];
  AacTnsConfig tns_short[AAC_MAX_ELEMENTS];
  int32_t reservoir_bits;   /* frame's bit-reservoir level, reported as buffer fullness */
  int32_t frame_acc;        /* accumulator of the bytes-per-frame rounding */
  int32_t frame_bits;       /* bits of the current frame (8 x bytes) */
  uint32_t frames;
  AacPsyConfig psy_long[AAC_MAX_CODED_ELEMENTS];
  AacPsyConfig psy_short[AAC_MAX_CODED_ELEMENTS];
  AacPsyElementOut psy_el[AAC_MAX_CODED_ELEMENTS];
  AacElementBits elem_bits[AAC_MAX_CODED_ELEMENTS];
  AacAdjThrElement adj_thr[AAC_MAX_CODED_ELEMENTS];
  AacStereoPrePro stprepro[AAC_MAX_CODED_ELEMENTS];
  AacQcOutElement qc_el[AAC_MAX_CODED_ELEMENTS];
  uint32_t qc_channel[AAC_MAX_CHANNELS]; /* offsets of the AacQcOutChannel records */
  int32_t bit_factor;
  int32_t fill_bits;        /* fill bits of the frame after fitting and alignment */
  int32_t align_bits;
  int32_t counted_bits;     /* what the loop reckoned the raw data block to be */
  int32_t too_long;         /* frames whose counted bits exceeded the maximum */
  /* room left for later stages */
  uint8_t reserved_for_coding[1];
} AacCoreState;

#define AAC_CORE_FIXED_BYTES ((uint32_t)__builtin_offsetof(AacCoreState, reserved_for_coding))

/* Opens the core on cfg (AAC_CFG_* words) with its state carved from module memory at
 * *core_off.  0 on success, 1 for a configuration the core refuses, 2 when memory runs out. */
int AacCoreOpen(uint8_t *wm, const int32_t *cfg, uint32_t *core_off);
/* Re-initialises an open core in place for a new bit rate; keeps per-channel state. */
int AacCoreReinit(uint8_t *wm, uint32_t core_off, const int32_t *cfg);
/* Encodes 1024 frames of the time-signal buffer (16-bit index 2 j + c) into a raw data
 * block written from bit start_bit of out (size bytes); *bits receives its length.
 * sbr/sbr_bytes is the payload carried in fill elements. */
int AacCoreEncode(uint8_t *wm, uint32_t core_off, const int16_t *time_signal, const uint8_t *sbr, int32_t sbr_bytes,
                  uint8_t *out, uint32_t size, uint32_t start_bit, int32_t header_bits, const uint32_t *calib,
                  uint32_t *bits);
int32_t AacCoreReservoirBits(uint8_t *wm, uint32_t core_off);
int32_t AacCoreCodedChannels(uint8_t *wm, uint32_t core_off);
void AacCoreClose(uint8_t *core_state);

/* Core audio bandwidth (Hz) from the bandwidth word, bit rate per coded channel, rate and
 * channel mode; -1 when it cannot be derived. */
int32_t AacCoreBandwidth(int32_t bandwidth_word, int32_t bpc, int32_t rate, int32_t channel_mode);
/* Element list from the coded channels and the dual-mono flag; 0, or 1 for another count. */
int AacInitElementList(AacElementList *list, int32_t coded_channels, int32_t dual_mono);

/* Writes the raw data block of the quantised frame from bit start_bit of out (size bytes):
 * elements, SBR payload and budget fill elements, END, byte alignment.  0, 1 when the
 * output buffer refused bits, -1 when the bits written differ from the bits counted. */
int AacWriteRawDataBlock(AacCoreState *core, uint8_t *wm, const uint8_t *sbr, int32_t sbr_bytes, uint8_t *out,
                         uint32_t size, uint32_t start_bit, uint32_t *bits);
/* Parts of an individual_channel_stream (each returns or implies the bits it wrote). */
int32_t AacWriteSectionData(uint8_t *out, AacBitBuf *bb, const AacSectionData *sd);
int32_t AacWriteSpectralData(uint8_t *out, AacBitBuf *bb, const AacSectionData *sd, const int16_t *q,
                             const int32_t *off);
void AacWriteTnsData(uint8_t *out, AacBitBuf *bb, const AacPsyChannel *pc, int32_t num_swb);
/* Frame bookkeeping: element shares of the budget, fill fitting and alignment, reservoir. */
void AacFrameBudget(AacCoreState *core, int32_t header_bits);
int AacFrameClose(AacCoreState *core);
void AacReservoirUpdate(AacCoreState *core);
/* Fill bits fitted to fill elements: chunks of 2167, the last raised to 7 + 8k. */
int32_t AacFitFillBits(int32_t fill);
/* Bits of the next frame at the configured bit rate (8 x bytes, the rounding spread over
 * frames by an accumulator that starts at the sampling rate). */
int32_t AacFrameBits(AacCoreState *core);
/* Fill-element sequence for n bits carrying `count` bytes (then zeros); returns the bits written. */
int32_t AacWriteFillElements(uint8_t *out, AacBitBuf *bb, int32_t n, const uint8_t *bytes, int32_t count);

#ifdef __cplusplus
}
#endif
#endif
