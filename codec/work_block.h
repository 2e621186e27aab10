// The working block: the one allocation per image, carved into every buffer the codec needs.
#pragma once

#include <cstdint>

#include "codec/codec_context.h"

namespace kv::codec {

// Carves the one working block of the image: dequantisation tables (the encoder's thresholds and
// divisors), component sample buffers and coefficient planes, `colourTableBytes` for the colour
// tables and a row of `bytesPerRow` (the decoder's output row, the encoder's input row). Answers the
// address of the colour tables' area, null when it is empty.
uint8_t* AllocateWorkBlock(CodecContext* context, int32_t bytesPerRow, int32_t colourTableBytes, int encoder);

}  // namespace kv::codec
