// The decoder's marker reader. Input: the bytes of a JPEG stream from the context's source; output: a
// context filled with the frame, tables and scan parameters, each checked before it is stored.
#pragma once

#include "codec/codec_context.h"

namespace kv::codec {

// Reads and acts on markers until a scan has started or the end of the image is reached.
void ReadMarkers(CodecContext* context);

}  // namespace kv::codec
