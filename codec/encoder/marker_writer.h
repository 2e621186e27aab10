// The encoder's marker writer: every byte outside the entropy-coded data, in stream order.
#pragma once

#include <cstdint>

#include "codec/codec_context.h"

namespace kv::codec {

// SOI, the marker list, APPE, DQT, SOF and DRI.
void WriteFrameHeaders(CodecContext* context);
// One DHT holding every table in use (the defaults unless optimal tables are installed); derives the
// encoder's codes of each table written.
void WriteHuffmanTables(CodecContext* context);
// SOS of the current scan (all frame components, full spectrum, for a sequential scan).
void WriteScanHeader(CodecContext* context);
// Adds a directory entry (scan number, bytes written) when the script marks the scan for it.
void RecordScanEnd(CodecContext* context, int scan);
// Writes the recorded scan end offsets over the directory's placeholders and returns to the end of
// the output; failing to return is category 15.
void PatchScanDirectory(CodecContext* context);
// Pads the last byte and writes EOI.
void WriteEndOfImage(CodecContext* context);

}  // namespace kv::codec
