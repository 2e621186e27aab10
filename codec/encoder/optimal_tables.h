// Optimal Huffman tables built from the image's own symbol counts.
#pragma once

#include <cstdint>

#include "codec/codec_context.h"

namespace kv::codec {

// Clears the symbol counts before a statistics pass; every slot's reserved entry counts 1.
void PrepareStatistics(CodecContext* context);

// Builds a length-limited Huffman table definition (bits[1..16] and values) from the counts of indices
// 0..highest (12 for DC, 176 for AC; the highest is the reserved entry). Answers the value count.
int BuildOptimalTable(CodecContext* context, int highest, const uint32_t* counts, uint8_t* bits, uint8_t* values);

// Builds a table for every DC and AC slot in use from its counts and installs them in place of the
// defaults; the statistics pass ends.
void InstallOptimalTables(CodecContext* context);

}  // namespace kv::codec
