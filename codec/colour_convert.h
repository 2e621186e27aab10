// Upsampling, colour transform and output rows: component samples (8-bit, or 11-bit in 16-bit cells on
// the precise path) from the sample buffers in, one pixel-interleaved row of bytes in outputRow out.
#pragma once

#include <cstdint>

#include "codec/codec_context.h"

namespace kv::codec {

// A chroma table entry packs two terms of one chroma value: the green term times 2^14, plus the blue
// term (Cb table) or red term (Cr table) biased by kChromaLowBias into 0..8191. The low parts of a Cb
// entry and a Cr entry sum to less than 2^14, so the two entries added and shifted right by 14 give
// the sum of their green terms.
inline constexpr int kChromaLowBits = 14;
inline constexpr int32_t kChromaLowBias = 4096;

// The blue or red term of a chroma table entry.
inline int32_t ChromaColourTerm(int32_t entry) {
    return (entry & ((1 << kChromaLowBits) - 1)) - kChromaLowBias;
}

// The green term of a chroma table entry.
inline int32_t ChromaGreenTerm(int32_t entry) { return entry >> kChromaLowBits; }

// Bytes the two chroma tables need: 2 x 2048 x 4 on the precise path, 2 x 256 x 4 otherwise, 0 when
// the image has no colour transform.
int32_t ColourTableBytes(const CodecContext* context);

// Fills chromaTableA (Cb: blue and green terms) and chromaTableB (Cr: red and green terms) for the
// context's colour transform, in the precise or 8-bit form as preciseColour says.
void BuildColourTables(CodecContext* context);

// Builds the output row for block line 0..7 and sub-row 0..Vmax-1 of the current MCU row from 11-bit
// samples; colour paths 2 to 5 only.
void ConvertRowPrecise(CodecContext* context, int blockLine, int subRow);

// Builds the output row for block line 0..7 and sub-row 0..Vmax-1 of the current MCU row from 8-bit
// samples; colour paths 0 and 1 only.
void ConvertRow(CodecContext* context, int blockLine, int subRow);

}  // namespace kv::codec
