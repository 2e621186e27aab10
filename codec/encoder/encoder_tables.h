// The encoder's fixed tables (base and minimum quantisers, built-in Huffman table definitions) and the
// rules that turn the quality parameters into quantisation tables and a Huffman table choice.
#pragma once

#include <cstdint>

#include "codec/codec_context.h"

namespace kv::codec {

struct DcTableDef {
    uint8_t bits[16];             // codes of length 1..16
    uint8_t values[kMaxDcValues];
};

struct AcTableDef {
    uint8_t bits[16];
    uint8_t count;
    uint8_t values[kMaxAcValues];
};

extern const uint8_t QuantBaseTables[8][64];
extern const uint8_t QuantMinimumLuma[64];
extern const uint8_t QuantMinimumChroma[64];
extern const DcTableDef DefaultDcSpecs[8];
extern const AcTableDef DefaultAcSpecs[10];

// The encoding quantiser of zig-zag position k from its base value, in single precision: the DC
// term is raised more gently when the scale is above 1. Kept within 1..cap.
int32_t ScaleQuantiser(int32_t base, int k, float scale, int32_t cap);

// The stored (DQT) quantiser: the encoding quantiser reduced by the factor, but not below the
// minimum (and never above the encoding quantiser).
int32_t ReduceQuantiser(int32_t quantiser, int32_t minimum, float factor);

// Fills encodingQuant and quant[].entries of every table below quantTableCount from the quality
// parameters (quantTableCount, tableSelection, qualityScale, quantiserCap, reductionFactor, hMax, vMax).
void ComputeQuantTables(CodecContext* context);

// The built-in Huffman class of a quality scale: DC class and AC class (an index base into the
// default table definitions).
int DcClassOf(float scale);
int AcClassOf(float scale);

// Loads the default table definitions for the DC and AC tables in use into the context's slots.
void LoadDefaultHuffmanTables(CodecContext* context);

}  // namespace kv::codec
