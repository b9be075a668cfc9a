/* The standard's Huffman codebooks in the encoder's packing: one codeword table per book
 * (right-aligned codes) and length tables shared by pairs of books (high byte the first
 * book, low byte the second).  Signed books are indexed with the offset that centres their
 * range (40 for books 1, 2, 5, 6; 60 for the scalefactor book). */
#ifndef AAC_HUFFMAN_H
#define AAC_HUFFMAN_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

extern const uint32_t huff_ctab1[81], huff_ctab2[81], huff_ctab3[81], huff_ctab4[81];
extern const uint32_t huff_ctab5[81], huff_ctab6[81], huff_ctab7[64], huff_ctab8[64];
extern const uint32_t huff_ctab9[169], huff_ctab10[169], huff_ctab11[289];
extern const uint16_t huff_ltab1_2[81], huff_ltab3_4[81], huff_ltab5_6[81], huff_ltab7_8[64];
extern const uint16_t huff_ltab9_10[169], huff_ltab11[289];
extern const uint32_t huff_ctabscf[121];
extern const uint16_t huff_ltabscf[121];

#ifdef __cplusplus
}
#endif
#endif
