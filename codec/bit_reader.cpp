// The bit reader's slow paths and the byte-level input beneath it and beneath the marker reader: the
// next byte of the source, the filling of the bit buffer, the next marker, and the failures at the
// end of the data.
#include "codec/bit_reader.h"

#include "codec/codec_errors.h"

namespace kv::codec {

namespace {

constexpr int kMarkerEoi = 0xD9;


}  // namespace

void RaiseSourceEnded(CodecContext* context) {
    CodecRaise(context, categorySourceFailed, messageSourceEndedInMarker, context->scansCompleted, context->mcuNumber);
}

int NextMarker(CodecContext* context) {
    context->bitBuffer = 0;
    context->bitCount = 0;
    // Anything in front of the marker is skipped; an endless run of it (a pipe) is work like any
    // other, so the cancel hook hears of it.
    for (;;) {
        const int byte = context->lookahead;
        if (byte < 0) RaiseSourceEnded(context);
        NoteWork(context, kWorkPerMarkerByte);
        context->lookahead = DecoderFetchByte(context);
        if (byte == 0xFF) break;
    }
    while (context->lookahead == 0xFF) {
        NoteWork(context, kWorkPerMarkerByte);
        context->lookahead = DecoderFetchByte(context);
    }
    const int code = context->lookahead;
    if (code < 0) RaiseSourceEnded(context);
    // EOI stays as the look-ahead byte: nothing after it is ever read.
    if (code != kMarkerEoi) context->lookahead = DecoderFetchByte(context);
    return code;
}

// Bit reader. The buffer holds bitCount valid bits at its top and zeros below them; bytes enter right
// below the valid bits.
// Reading stops in front of a marker: the 0xFF stays as the look-ahead byte and the marker code
// goes back into the source, so the marker reader finds it. Requests near a marker are served from
// the bits still buffered, padded with zeros; a request that needs more than those raises.

bool InspectMarker(CodecContext* context) {
    if (context->lookahead < 0) return false;
    int next = DecoderFetchByte(context);
    while (next == 0xFF) next = DecoderFetchByte(context);
    if (next == 0x00) {
        context->bitBuffer |= uint64_t{0xFF} << (56 - context->bitCount);
        context->bitCount += 8;
        context->lookahead = DecoderFetchByte(context);
        return true;
    }
    SourceUngetByte(next, context->stream);
    return false;
}

void RaiseAtMarker(CodecContext* context) {
    int code = -1;
    if (context->lookahead == 0xFF) {
        code = DecoderFetchByte(context);
        while (code == 0xFF) code = DecoderFetchByte(context);
    }
    const int after = code >= 0 ? DecoderFetchByte(context) : -1;
    if (after > 0) CodecRaise(context, categoryBadData, messageMarkerInCodedData, code);
    CodecRaise(context, categorySourceFailed, messageSourceEndedInScan, context->scansCompleted, context->mcuNumber);
}

void RaiseBadCode(CodecContext* context) {
    CodecRaise(context, categoryBadData, messageCodeTooLong, context->scansCompleted, context->mcuNumber);
}

BitState Filled(CodecContext* context, BitState bits) {
    StreamBuffer* source = context->stream;
    while (bits.count <= 56) {
        const int byte = context->lookahead;
        if (byte == 0xFF || byte < 0) {
            StoreBits(context, bits);
            const bool appended = InspectMarker(context);
            bits = LoadBits(context);
            if (!appended) return bits;
            continue;
        }
        bits.buffer |= static_cast<uint64_t>(byte) << (56 - bits.count);
        bits.count += 8;
        if (source->count > 0) {
            // The source's own fast path, without restating its (already clear) error state.
            context->lookahead = source->buffer[source->index];
            ++source->index;
            --source->count;
        } else {
            context->lookahead = DecoderFetchByte(context);
        }
    }
    return bits;
}


uint32_t ReadBits(CodecContext* context, int count) {
    BitState bits = LoadBits(context);
    const uint32_t value = TakeFilled(context, bits, count);
    StoreBits(context, bits);
    return value;
}

}  // namespace kv::codec
