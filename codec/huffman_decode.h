// Huffman decoding of sequential scans and the pieces progressive decoding shares with it: code
// construction, the decoder's look-up structure, the bit reader over entropy-coded data with its
// marker handling, restart intervals and the MCU geometry of a scan.
#pragma once

#include <cstdint>

#include "codec/codec_context.h"

// Zig-zag position -> natural (row-major) index, extended by 16 entries that land in the discard
// slot 64 so that a run past position 63 never leaves the block.
extern const uint8_t ZigzagToNatural[80];

// Builds HUFFSIZE (terminated by 0) and HUFFCODE from BITS[1..16] by the JPEG generation procedure
// and answers the number of codes. Refuses an over-committed table (decoder: category 12, encoder:
// 16) and one with more codes than the class allows (decoder: 13, encoder: 17).
int BuildHuffmanCodes(CodecContext* context, const uint8_t* bits, uint8_t* sizes, uint16_t* codes, int isAc);

// Fills the max-code array, limit, value offsets and (AC) the 7-bit look-ahead table of a slot
// whose bits[] and values[] are set.
void BuildHuffmanLookup(HuffmanTable* table, int isAc, const uint8_t* sizes, const uint16_t* codes);

// Computes the MCU geometry of the current scan and binds its components to their table slots.
void SetupScan(CodecContext* context);

// Decodes the next MCU row of a sequential scan into the sample buffers, or reconstructs it from
// the coefficient planes in a progressive frame.
void DecodeMcuRow(CodecContext* context);

// Sets the DC predictors of all four scan components to 0.
void ResetPredictors(CodecContext* context);

// Restart handling before an MCU: counts down, and at a restart point resets the predictors and
// reads the restart marker.
void CountRestart(CodecContext* context);

// Reads `count` (0..16) raw bits with the context's bit reader (codec/bit_reader.h holds the
// register-level reader the decoders use).
uint32_t ReadBits(CodecContext* context, int count);
