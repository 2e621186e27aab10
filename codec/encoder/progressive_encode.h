// Buffered scans: progressive scan scripts, and the coding (or counting) of every scan from the
// coefficient buffer, for progressive and optimised baseline output.
#pragma once

#include "codec/codec_context.h"

namespace kv::codec {

// Picks the script for the colour count and script number, and the AC table count it needs.
void ChooseScanScript(CodecContext* context);

// Sets up scan number `scanNumber` of the script (or the one sequential scan): its components, band,
// bit position and table slots, with predictors, restarts and end-of-band run reset.
void SetupBufferedScan(CodecContext* context);

// Codes or counts the current scan from the coefficient buffer.
void EncodeBufferedScan(CodecContext* context);

// Writes (or counts) the pending end-of-band run and the correction bits buffered with it.
void FlushEobRun(CodecContext* context, int acSlot);

}  // namespace kv::codec
