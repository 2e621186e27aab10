// The decoder's driver: the reader states behind the header phase and the row output. It reads
// markers through the marker reader, decodes MCU rows through Huffman decoding and hands each MCU row
// to colour conversion one output row at a time.
#include "codec/decoder.h"

#include "codec/bit_reader.h"
#include "codec/colour_convert.h"
#include "codec/huffman_decode.h"
#include "codec/marker_reader.h"

namespace kv::codec {

namespace {

// Primes the look-ahead byte before the first marker.
void StartReading(CodecContext* context) {
    context->bitBuffer = 0;
    context->bitCount = 0;
    context->lookahead = DecoderFetchByte(context);
}

bool HeaderComplete(const CodecContext* context) {
    return context->readerState < readerDecodeRow || context->endOfImage;
}

}  // namespace

int ReadHeader(CodecContext* context) {
    switch (context->readerState) {
        case readerStart:
            StartReading(context);
            ReadMarkers(context);
            return HeaderComplete(context) ? 1 : 0;
        case readerBetweenScans:
            if (!context->progressive) return 1;
            ReadMarkers(context);
            return HeaderComplete(context) ? 1 : 0;
        case readerFinished:
            ReleaseWorkBlock(context);
            return 1;
        case readerDecodeRow:
        case readerDeliverRows:
            if (context->endOfImage || !context->progressive) return 1;
            ReadMarkers(context);
            return HeaderComplete(context) ? 1 : 0;
        default:
            return 0;
    }
}

int ReadRow(CodecContext* context) {
    switch (context->readerState) {
        case readerStart:
            StartReading(context);
            [[fallthrough]];
        case readerBetweenScans:
            ReadMarkers(context);
            if (context->readerState == readerDecodeRow) DecodeMcuRow(context);
            break;
        case readerDecodeRow:
            DecodeMcuRow(context);
            break;
        case readerFinished:
            ReleaseWorkBlock(context);
            return 1;
        case readerDeliverRows:
            break;
        default:
            return 0;
    }
    if (context->readerState != readerDeliverRows) {
        if (context->readerState < readerDecodeRow) {
            ReleaseWorkBlock(context);
            return 1;
        }
        context->blockLine = 0;
        context->subRow = 0;
        context->readerState = readerDeliverRows;
    }
    if (context->preciseColour) {
        ConvertRowPrecise(context, context->blockLine, context->subRow);
    } else {
        ConvertRow(context, context->blockLine, context->subRow);
    }
    if (++context->subRow == context->vMax) {
        context->subRow = 0;
        if (++context->blockLine == 8) context->readerState = readerDecodeRow;
    }
    if (++context->rowsDelivered == context->height) {
        // The image is complete: a sequential scan counts as completed here; a progressive
        // frame's scans were all completed during the header phase.
        if (!context->progressive) ++context->scansCompleted;
        context->scansDelivered = context->scansCompleted;
        context->readerState = context->endOfImage ? readerFinished : readerBetweenScans;
    }
    return 0;
}

}  // namespace kv::codec
