// The encoder's byte and bit writers: the out-of-line parts.
#include "codec/encoder/bit_writer.h"

namespace kv::codec {

void PutBits(CodecContext* context, uint32_t value, int count) {
    if (count < context->freeBits) {
        if (count == 0) CodecRaise(context, categoryMissingCode, messageCodeMissingFromTable);
        context->freeBits -= count;
        context->partialByte |= (value & ((1u << count) - 1)) << context->freeBits;
        return;
    }
    if (count < 32) value &= (1u << count) - 1;
    count -= context->freeBits;
    PutDataByte(context, context->partialByte | (value >> count));
    while (count >= 8) {
        count -= 8;
        PutDataByte(context, (value >> count) & 0xFF);
    }
    context->freeBits = 8 - count;
    context->partialByte = count == 0 ? 0 : (value << (8 - count)) & 0xFF;
}

void FlushBits(CodecContext* context) {
    if (context->freeBits >= 8) return;
    PutDataByte(context, context->partialByte | ((1u << context->freeBits) - 1));
    context->freeBits = 8;
    context->partialByte = 0;
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
