// Huffman decoding of sequential scans and the pieces progressive decoding shares with it: the
// decoder's look-up structure and restart intervals.
#pragma once

#include <cstdint>

#include "codec/codec_context.h"

namespace kv::codec {

// Fills the max-code array, limit, value offsets and (AC) the 7-bit look-ahead table of a slot
// whose bits[] and values[] are set.
void BuildHuffmanLookup(HuffmanTable* table, int isAc, const uint16_t* codes);

// Decodes the next MCU row of a sequential scan into the sample buffers, or reconstructs it from
// the coefficient planes in a progressive frame.
void DecodeMcuRow(CodecContext* context);

// Sets the DC predictors of all four scan components to 0.
void ResetPredictors(CodecContext* context);

// Restart handling before an MCU: counts down, and at a restart point resets the predictors and
// reads the restart marker.
void CountRestart(CodecContext* context);

}  // namespace kv::codec
