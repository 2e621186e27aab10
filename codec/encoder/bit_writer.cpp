// The encoder's byte and bit writers: the out-of-line parts.
#include "codec/encoder/bit_writer.h"

void FlushBits(CodecContext* context) {
    if (context->freeBits >= 8) return;
    PutDataByte(context, context->partialByte | ((1u << context->freeBits) - 1));
    context->freeBits = 8;
    context->partialByte = 0;
}

void WriteByte(CodecContext* context, int byte) {
    SinkPutByte(byte & 0xFF, context->stream);
    ++context->bytesWritten;
}

void Write16(CodecContext* context, uint32_t value) {
    WriteByte(context, static_cast<int>(value >> 8));
    WriteByte(context, static_cast<int>(value));
}

void Write32(CodecContext* context, uint32_t value) {
    Write16(context, value >> 16);
    Write16(context, value & 0xFFFF);
}

void WriteMarker(CodecContext* context, int code) {
    FlushBits(context);
    WriteByte(context, 0xFF);
    WriteByte(context, code);
}

void CheckOutput(CodecContext* context) {
    if (StreamError(context->stream) != 0) CodecRaise(context, categoryOutputFailed, 54);
    if (StreamAtEnd(context->stream) != 0) CodecRaise(context, categoryOutputFailed, 55);
}
