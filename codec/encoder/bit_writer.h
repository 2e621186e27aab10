// The encoder's byte and bit writers on the context's sink: plain bytes and markers (counted, not
// stuffed) and entropy-coded bits, packed most significant first with a 0x00 after every 0xFF.
#pragma once

#include <cstdint>
#include <cstring>

#include "codec/codec_context.h"
#include "codec/codec_errors.h"
#include "codec/simd.h"

namespace kv::codec {

// The length a code table gives a symbol it has no code for: above the 32 bits of any code with its
// value bits, and above the 64 bits of a whole output word.
inline constexpr int kNoCodeLength = 0xFF;

namespace bit_writer_detail {

// Appends one byte to the sink: straight into its buffer while that cannot fill up, else through
// the sink's own byte writer, which writes the full buffer to the file. A failure the sink recorded
// earlier stays in its error field.
inline void SinkByte(StreamBuffer* sink, uint32_t byte) {
    if (sink->count < sink->bufferSize - 1) {
        sink->buffer[sink->index] = static_cast<uint8_t>(byte);
        ++sink->index;
        ++sink->count;
        lastError = 0;
    } else {
        SinkPutByte(static_cast<int>(byte), sink);
    }
}

}  // namespace bit_writer_detail

// Plain writers: they go through the sink and count into the byte counter, without stuffing.
inline void WriteByte(CodecContext* context, int byte) {
    SinkPutByte(byte & 0xFF, context->stream);
    ++context->bytesWritten;
}
inline void Write16(CodecContext* context, uint32_t value) {
    WriteByte(context, static_cast<int>(value >> 8));
    WriteByte(context, static_cast<int>(value));
}
inline void Write32(CodecContext* context, uint32_t value) {
    Write16(context, value >> 16);
    Write16(context, value & 0xFFFF);
}
// Completes the partial byte with 1 bits, then writes 0xFF and the code.
void WriteMarker(CodecContext* context, int code);

// Writes one byte of entropy-coded data (0xFF is followed by a stuffed 0x00).
inline void PutDataByte(CodecContext* context, uint32_t byte) {
    bit_writer_detail::SinkByte(context->stream, byte);
    ++context->bytesWritten;
    if (byte == 0xFF) {
        bit_writer_detail::SinkByte(context->stream, 0);
        ++context->bytesWritten;
    }
}

// Writes four bytes of entropy-coded data, the first in the top bits of word: straight into the
// sink's buffer when none of them is 0xFF and all fit below its last byte, else byte by byte.
void PutDataWordBytes(CodecContext* context, uint32_t word);
KV_ALWAYS_INLINE void PutDataWord(CodecContext* context, uint32_t word) {
    StreamBuffer* sink = context->stream;
    const uint32_t inverted = ~word;
    const bool noFF = ((inverted - 0x01010101u) & ~inverted & 0x80808080u) == 0;
    if (noFF && sink->count + 4 < sink->bufferSize) [[likely]] {
        const uint8_t bytes[4] = {static_cast<uint8_t>(word >> 24), static_cast<uint8_t>(word >> 16),
                                  static_cast<uint8_t>(word >> 8), static_cast<uint8_t>(word)};
        std::memcpy(sink->buffer + sink->index, bytes, 4);
        sink->index += 4;
        sink->count += 4;
        lastError = 0;
        context->bytesWritten += 4;
        return;
    }
    PutDataWordBytes(context, word);
}

// Appends the low `count` (1..32) bits of value, most significant first; the other bits of value
// are ignored. Whole 32-bit words leave as soon as they are complete. A count of kNoCodeLength (or 0)
// means the symbol had no code.
inline void PutBits(CodecContext* context, uint32_t value, int count) {
    if (static_cast<uint32_t>(count - 1) >= 32) CodecRaise(context, categoryMissingCode, messageCodeMissingFromTable);
    uint64_t bits = (context->outputBits << count) | (value & (~0u >> (32 - count)));
    int pending = context->outputBitCount + count;
    if (pending >= 32) {
        pending -= 32;
        PutDataWord(context, static_cast<uint32_t>(bits >> pending));
    }
    context->outputBits = bits;
    context->outputBitCount = pending;
}

// Writes the bits that wait, the last byte completed with 1 bits, before a marker or at the end of a
// scan.
void FlushBits(CodecContext* context);

// Raises when the output stream reports an error or the end of the file.
void CheckOutput(CodecContext* context);

}  // namespace kv::codec
