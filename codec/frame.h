// Frame and scan geometry, shared by the decoder and the encoder: the colour transform a frame takes,
// the sampling maxima, row lengths, colour path and sample buffer widths of its components, and the
// MCU counts of a scan.
#pragma once

#include <cstdint>

#include "codec/codec_context.h"

namespace kv::codec {

// The colour transform (0 none, 1 YCbCr, 2 YCCK) a frame of the context's component count takes from
// the one given; refuses one it cannot take (the encoder as a bad parameter, the decoder as bad data).
int32_t FrameTransform(CodecContext* context, int32_t transform, int encoder);

// Checks the frame's sampling and colour transform and derives the frame's geometry: sampling
// maxima, row lengths, colour path, four-line and precise-colour flags, component row widths and
// progressive plane sizes. The encoder calls it with its own error categories.
void SetupFrame(CodecContext* context, int encoder);

// Computes the MCU geometry of the current scan and binds its components to their table slots.
void SetupScan(CodecContext* context);

}  // namespace kv::codec
