// Progressive decoding: each scan of a progressive frame is decoded completely, when its SOS is
// read, into the whole-image coefficient planes.
#pragma once

#include "codec/codec_context.h"

namespace kv::codec {

// Decodes the current scan (DC first, DC refinement, AC first or AC refinement, as its Ss and Ah
// select) into the coefficient planes of its components.
void DecodeScanProgressive(CodecContext* context);

}  // namespace kv::codec
