// The encoder's two entry points: start an image from the parameters in the context, then take its
// rows one by one.
#pragma once

#include <cstdint>

#include "codec/codec_context.h"

namespace kv::codec {

// Checks the parameters, derives the frame geometry, computes the quantisation tables, allocates the
// working memory and builds the colour tables. Failures leave by the codec's long jump.
void EncoderStart(CodecContext* context);

// Takes the image row the caller copied to inputRow. Answers 0 while more rows are expected and -1
// once the last row has been taken; the call with the last row completes the stream up to EOI.
int32_t EncoderWriteRow(CodecContext* context);

}  // namespace kv::codec
