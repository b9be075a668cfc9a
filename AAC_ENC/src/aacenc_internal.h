/* Process-wide state of the encoder's top layer (exported data symbols of the program). */
#ifndef AACENC_INTERNAL_H
#define AACENC_INTERNAL_H

#include <stdint.h>

#include "aac_sbr.h"
#include "aacenc.h"
#include "aacenc_framing.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct AacEncHandle {
  void *scratch1;
  void *scratch2;
  void *work_memory;
} AacEncHandle;

extern AacEncHandle *hEnc;
extern void *hFileformat;
extern AacBsDesc bsDesc;
extern uint32_t calib_config[4];
extern sbrConfiguration sbrConfig;
extern uint32_t bufSize[3];

/* Validation of (rate, channels, bit rate, mode): 0 or the error code. */
uint32_t aacencValidate(uint32_t rate, uint32_t channels, uint32_t bit_rate, uint32_t mode);
/* Re-check period in frames for an input rate (0: no check). */
uint32_t aacencRecheckPeriod(uint32_t rate);

#ifdef __cplusplus
}
#endif
#endif
