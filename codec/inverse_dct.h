// Dequantisation and inverse DCT: turns one block of dequantised coefficients (32-bit, natural order)
// into 8x8 samples, 8-bit or 11-bit in 16-bit cells, in a component's sample buffer.
#pragma once

#include <cstdint>

#include "codec/codec_context.h"

namespace kv::codec {

// Per zig-zag position, 32768 / (s(u) x s(v)) rounded, where (u, v) is the natural row and column and
// s(0) = 1, s(k) = sqrt(2) x cos(k x pi / 16): the inverse DCT's scale factors, folded into every
// dequantisation multiplier.
extern const uint32_t IdctScaleTable[64];

// Fills table->multipliers[0..63] (zig-zag order) with quantiser x scale factor, in 32-bit wrap-around.
void BuildDequantTable(CodecContext* context, QuantTable* table, int tableNumber);

// Transforms the 64 coefficients of block (natural order; a 65th slot past them is ignored) into an 8x8
// sample square at output, one component row width apart per row. Coefficients beyond highestColumn or
// highestRow (0..7) must be zero. Samples are 0..255 bytes, or 0..2047 in 16-bit cells when the component
// has wideSamples (output then addresses the first cell). The block is overwritten.
void InverseDct(CodecContext* context, int32_t* block, uint8_t* output, int highestColumn, int highestRow,
                const ComponentInfo* component);

// The same transform one column and one row at a time in plain C++: what InverseDct runs where SSE2 is
// not available, and on x86 a second implementation to check the vector one against. Same contract
// and results as InverseDct.
void InverseDctPortable(CodecContext* context, int32_t* block, uint8_t* output, int highestColumn,
                        int highestRow, const ComponentInfo* component);

// InverseDct without its AVX2 form, where the processor has AVX2 too (SSE2 on x86, else the portable
// form): so that every form can be checked. Same contract and results as InverseDct.
void InverseDctWithoutAvx2(CodecContext* context, int32_t* block, uint8_t* output, int highestColumn,
                           int highestRow, const ComponentInfo* component);

}  // namespace kv::codec
