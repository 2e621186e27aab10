// Huffman decoding of sequential scans and the pieces progressive decoding shares with it: the
// decoder's look-up structure and restart intervals.
#pragma once

#include <cstdint>

#include "codec/codec_context.h"

namespace kv::codec {

// Fills the max-code array, limit, value offsets and (AC) the 7-bit look-ahead table of a slot
// whose bits[] and values[] are set; its one-step table waits for PrepareScanTables.
void BuildHuffmanLookup(HuffmanTable* table, int isAc, const uint16_t* codes);

// Fills the one-step table (HuffmanTable::fast) of a slot whose look-up data is built.
void BuildOneStepLookup(HuffmanTable* table);

// At the start of a scan (its components bound to their slots): decides whether the scan is large
// enough to decode through the one-step tables (oneStepTables) and, if so, builds those that the
// scan's tables do not have yet.
void PrepareScanTables(CodecContext* context);

// Decodes the next MCU row of a sequential scan into the sample buffers, or reconstructs it from
// the coefficient planes in a progressive frame.
void DecodeMcuRow(CodecContext* context);

// Sets the DC predictors of all four scan components to 0.
void ResetPredictors(CodecContext* context);

// Restart handling before an MCU: counts down, and at a restart point resets the predictors and
// reads the restart marker.
void CountRestart(CodecContext* context);

}  // namespace kv::codec
