/* The basic operations are inline; this unit pins one out-of-line copy of each helper
 * that table code takes the address of, and gives the library an object. */
#include "aac_intrinsics.h"

int32_t aacIntrinsicsNormL(int32_t a) { return norm_l(a); }
