// The encoder's byte and bit writers: the out-of-line parts.
#include "codec/encoder/bit_writer.h"

namespace kv::codec {

// PutDataWord's way for a word with a 0xFF byte or one that reaches the end of the sink's buffer.
void PutDataWordBytes(CodecContext* context, uint32_t word) {
    for (int shift = 24; shift >= 0; shift -= 8) PutDataByte(context, (word >> shift) & 0xFF);
}

void FlushBits(CodecContext* context) {
    int count = context->outputBitCount;
    uint64_t bits = context->outputBits;
    if (count % 8 != 0) {
        const int pad = 8 - count % 8;
        bits = (bits << pad) | ((uint64_t{1} << pad) - 1);
        count += pad;
    }
    while (count >= 8) {
        count -= 8;
        PutDataByte(context, static_cast<uint32_t>(bits >> count) & 0xFF);
    }
    context->outputBits = 0;
    context->outputBitCount = 0;
}

void WriteMarker(CodecContext* context, int code) {
    FlushBits(context);
    WriteByte(context, 0xFF);
    WriteByte(context, code);
}

void CheckOutput(CodecContext* context) {
    if (StreamError(context->stream) != 0) CodecRaise(context, categoryOutputFailed, messageOutputFailed);
    if (StreamAtEnd(context->stream) != 0) CodecRaise(context, categoryOutputFailed, messageOutputEnded);
}

}  // namespace kv::codec
