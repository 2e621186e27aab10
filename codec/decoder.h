// The decoder's driver and its two entry points: the header phase and the row-by-row output.
// Input: the bytes of a JPEG stream from the context's source; output: a context filled with the
// frame, tables and scan parameters, and image rows in the output row buffer.
#pragma once

#include "codec/codec_context.h"

namespace kv::codec {

// Header phase: 0 while more header remains to be read, 1 when the header is complete (for a
// sequential image at the first SOS, for a progressive one at EOI). The first call answering 1
// means the file cannot be read.
int ReadHeader(CodecContext* context);

// Puts the next image row in the output row buffer and answers 0, or answers 1 when there are no
// more rows.
int ReadRow(CodecContext* context);

}  // namespace kv::codec
