// Huffman encoding of sequential scans. Input: quantised blocks (zig-zag order) made from the
// component sample buffers; output: entropy-coded bytes, 0xFF-stuffed, with restart markers, through
// the context's sink.
#include "codec/encoder/huffman_encode.h"

#include <cstring>

#include "codec/codec_errors.h"
#include "codec/encoder/forward_path.h"
#include "codec/encoder/marker_writer.h"
#include "codec/huffman_decode.h"

const uint8_t BitLengthTable[64] = {
    0, 1, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 4, 4, 4, 4,
    5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5,
    6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6,
    6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6,
};

void DeriveEncoderCodes(CodecContext* context, const HuffmanTable* table, HuffmanCodes* codes, int kind) {
    std::memset(codes, 0, sizeof *codes);
    uint8_t sizes[kMaxAcValuesProgressive + 1];
    uint16_t huffCodes[kMaxAcValuesProgressive];
    const int count = BuildHuffmanCodes(context, table->bits, sizes, huffCodes, kind);
    for (int i = 0; i < count; ++i) {
        const int value = table->values[i];
        if (kind == 0) {
            if (value >= 12) CodecRaise(context, categoryBadHuffmanSpec, 52, value);
            codes->code[value] = huffCodes[i];
            codes->length[value] = static_cast<uint8_t>(sizes[i] + value);
            continue;
        }
        const int run = value >> 4;
        const int size = value & 15;
        if (size >= 11 || (size == 0 && run >= 1 && run <= 14 && context->process != 2)) {
            CodecRaise(context, categoryBadHuffmanSpec, 51, value);
        }
        // Size 0 symbols (EOB, EOBr, ZRL) sit at their run; the others at size x 16 + run.
        const int index = size == 0 ? run : size * 16 + run;
        const int extra = size == 0 ? (run == 15 ? 0 : run) : size;
        codes->code[index] = huffCodes[i];
        codes->length[index] = static_cast<uint8_t>(sizes[i] + extra);
    }
}

// ---------------------------------------------------------------------------------------------
// Bit writer.

void PutDataByte(CodecContext* context, uint32_t byte) {
    SinkPutByte(static_cast<int>(byte), context->stream);
    ++context->bytesWritten;
    if (byte == 0xFF) {
        SinkPutByte(0, context->stream);
        ++context->bytesWritten;
    }
}

void PutBits(CodecContext* context, uint32_t value, int count) {
    if (count < context->freeBits) {
        if (count == 0) CodecRaise(context, categoryMissingCode, 50);
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

// ---------------------------------------------------------------------------------------------
// Blocks and MCU rows.

void StartScanState(CodecContext* context) {
    for (ScanComponent& scan : context->scan) scan.dcPredictor = 0;
    context->restartCountdown = context->restartInterval + 1;
    context->restartMarker = 0;
}

namespace {

// Writes a magnitude category code followed by the value bits of a coefficient or difference.
inline void PutCoded(CodecContext* context, const HuffmanCodes* codes, int index, int size, int32_t value) {
    // Negative values carry the low bits of value - 1 (the ones' complement of the magnitude).
    const uint32_t bits = value >= 0 ? static_cast<uint32_t>(value) : static_cast<uint32_t>(value - 1);
    const uint32_t mask = (1u << size) - 1;
    PutBits(context, (static_cast<uint32_t>(codes->code[index]) << size) | (bits & mask), codes->length[index]);
}

// Codes one quantised block: the DC difference, then the AC run/size symbols up to L and EOB.
void CodeBlock(CodecContext* context, ScanComponent* scan, const int16_t* coefficients, int last) {
    const HuffmanCodes* dc = &context->dcCodes[scan->dcTable];
    const HuffmanCodes* ac = &context->acCodes[scan->acTable];
    const int32_t difference = coefficients[0] - scan->dcPredictor;
    if (difference != 0) scan->dcPredictor = coefficients[0];
    const int dcSize = MagnitudeBits(static_cast<uint32_t>(difference < 0 ? -difference : difference));
    PutCoded(context, dc, dcSize, dcSize, difference);

    int run = 0;
    for (int k = 1; k <= last; ++k) {
        const int32_t value = coefficients[k];
        if (value == 0) {
            ++run;
            continue;
        }
        while (run >= 16) {
            PutBits(context, ac->code[15], ac->length[15]);
            run -= 16;
        }
        const int size = MagnitudeBits(static_cast<uint32_t>(value < 0 ? -value : value));
        PutCoded(context, ac, size * 16 + run, size, value);
        run = 0;
    }
    if (last != 63) PutBits(context, ac->code[0], ac->length[0]);
}

// Transforms, quantises and codes the block at (block row, block column) of a scan component.
void EncodeBlock(CodecContext* context, ScanComponent* scan, int blockRow, int blockColumn) {
    const ComponentInfo* component = scan->component;
    const int index = static_cast<int>(component - context->components);
    int16_t coefficients[64];
    int last = 0;
    if (BlockOutsideData(context, index, blockColumn)) {
        // Beyond the data: the previous DC again and no AC.
        std::memset(coefficients, 0, sizeof coefficients);
        coefficients[0] = static_cast<int16_t>(scan->dcPredictor);
    } else {
        const int cellBytes = component->wideSamples ? 2 : 1;
        const uint8_t* first = component->samples + static_cast<std::size_t>(blockRow) * 8 * component->rowWidth +
                               static_cast<std::size_t>(blockColumn) * 8 * cellBytes;
        int32_t dct[64];
        ForwardDct(context, dct, first, component);
        last = QuantiseBlock(context, dct, coefficients, component->quantTable);
    }
    CodeBlock(context, scan, coefficients, last);
    ++context->mcuNumber;
}

// Before an MCU (or a block of a one-component scan): at a restart point the predictors restart and
// a restart marker is written.
void CountDownRestart(CodecContext* context) {
    if (context->restartInterval == 0) return;
    if (--context->restartCountdown > 0) return;
    context->restartCountdown = context->restartInterval;
    for (ScanComponent& scan : context->scan) scan.dcPredictor = 0;
    if (context->statisticsPass) return;
    FlushBits(context);
    WriteMarker(context, 0xD0 + context->restartMarker);
    context->restartMarker = (context->restartMarker + 1) & 7;
}

}  // namespace

void EncodeMcuRow(CodecContext* context) {
    if (context->scanComponentCount > 1) {
        for (int mcu = 0; mcu < context->mcusPerRow; ++mcu) {
            CountDownRestart(context);
            for (int i = 0; i < context->scanComponentCount; ++i) {
                ScanComponent* scan = &context->scan[i];
                const ComponentInfo* component = scan->component;
                for (int row = 0; row < component->v; ++row) {
                    for (int column = 0; column < component->h; ++column) {
                        EncodeBlock(context, scan, row, mcu * component->h + column);
                    }
                }
            }
        }
    } else {
        // One component: its block rows one by one, none wholly below the image.
        ScanComponent* scan = &context->scan[0];
        const ComponentInfo* component = scan->component;
        const int32_t firstImageRow = context->mcuRowsCoded * 8 * context->vMax;
        const int32_t componentHeight = (context->height * component->v + context->vMax - 1) / context->vMax;
        const int32_t firstComponentRow = firstImageRow * component->v / context->vMax;
        const int32_t componentWidth = (context->width * component->h + context->hMax - 1) / context->hMax;
        const int32_t blocksAcross = (componentWidth + 7) / 8;
        for (int row = 0; row < component->v && firstComponentRow + 8 * row < componentHeight; ++row) {
            for (int column = 0; column < blocksAcross; ++column) {
                CountDownRestart(context);
                EncodeBlock(context, scan, row, column);
            }
        }
    }
    ++context->mcuRowsCoded;
}

void CheckOutput(CodecContext* context) {
    if (StreamError(context->stream) != 0) CodecRaise(context, categoryOutputFailed, 54);
    if (StreamAtEnd(context->stream) != 0) CodecRaise(context, categoryOutputFailed, 55);
}
