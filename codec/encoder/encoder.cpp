// The encoder's driver: parameter checks, frame set-up and table assignment at the start, then the
// row-by-row pipeline (conversion, MCU rows, the end of the image). Input: interleaved 8-bit rows;
// output: a JPEG stream through the context's sink.
#include "codec/encoder/encoder.h"

#include "codec/codec_errors.h"
#include "codec/encoder/bit_writer.h"
#include "codec/encoder/encoder_tables.h"
#include "codec/encoder/forward_path.h"
#include "codec/encoder/huffman_encode.h"
#include "codec/encoder/marker_writer.h"
#include "codec/encoder/optimal_tables.h"
#include "codec/encoder/progressive_encode.h"
#include "codec/frame.h"
#include "codec/work_block.h"

namespace kv::codec {

namespace {

enum EncoderState : int32_t {
    encoderBeforeFirstRow = 0,
    encoderStartingScan = 1,
    encoderTakingRows = 2,
    encoderDone = 3,
};

constexpr uint32_t kFlagAveraging = 0x80000000u;
constexpr uint32_t kFlagSixteenBit = 0x40000000u;

// Assigns quantisation and Huffman tables to the components: chroma (or, without a transform,
// subsampled components) take the second pair.
void AssignTables(CodecContext* context) {
    for (int i = 0; i < context->componentCount; ++i) {
        ComponentInfo& component = context->components[i];
        ScanComponent& scan = context->scan[i];
        component.id = static_cast<uint8_t>(i + 1);
        scan.component = &component;
        const bool subsampled = component.h < context->hMax || component.v < context->vMax;
        const bool second = context->colourTransform == 0 ? subsampled : (i == 1 || i == 2);
        int table = 0;
        if (second) {
            table = 1;
            context->quantTableCount = 2;
            if (!context->optimalInstalled) {
                context->dcTableCount = 2;
                context->acTableCount = 2;
            }
        }
        component.quantTable = static_cast<uint8_t>(table);
        scan.dcTable = table;
        scan.acTable = table;
        component.dcTable = scan.dcTable;
        component.acTable = scan.acTable;
        DeriveEdgeGeometry(context, i);
    }
}

// Codes one MCU row and checks the output after it.
void CodeMcuRow(CodecContext* context) {
    EncodeMcuRow(context);
    CheckOutput(context);
}

// The coefficient buffer of each component covers its padded size in whole blocks.
void SizeCoefficientBuffers(CodecContext* context) {
    for (int i = 0; i < context->componentCount; ++i) {
        ComponentInfo& component = context->components[i];
        component.planeWidth = context->edges[i].paddedWidth;
        component.planeHeight =
            context->componentCount == 1
                ? (context->height * component.v + 8 * context->vMax - 1) / (8 * context->vMax) * 8
                : (context->height + 8 * context->vMax - 1) / (8 * context->vMax) * component.v * 8;
    }
}

// Every scan of the image from the coefficient buffer: counted first when the tables are to be
// built, then written, each preceded by its SOS (and the first by DHT), then EOI.
void RunBufferedScans(CodecContext* context) {
    const int scans = context->process == FrameProcess::progressive ? context->scriptLength : 1;
    if (context->statisticsPass) {
        for (int scan = 0; scan < scans; ++scan) {
            context->scanNumber = scan;
            SetupBufferedScan(context);
            EncodeBufferedScan(context);
        }
        InstallOptimalTables(context);
        context->mcuNumber = 0;
    }
    for (int scan = 0; scan < scans; ++scan) {
        context->scanNumber = scan;
        SetupBufferedScan(context);
        FlushBits(context);
        if (scan == 0) {
            WriteHuffmanTables(context);
        } else {
            RecordScanEnd(context, scan - 1);
        }
        WriteScanHeader(context);
        EncodeBufferedScan(context);
        CheckOutput(context);
    }
    FlushBits(context);
    if (context->process == FrameProcess::progressive) RecordScanEnd(context, scans - 1);
    PatchScanDirectory(context);
}

// The first row: the headers, the divisors, and for a sequential image coded as it arrives the
// tables and the scan header.
void StartImage(CodecContext* context) {
    WriteFrameHeaders(context);
    PrepareDivisors(context);
    context->mcuNumber = 0;
    context->mcuRowsCoded = 0;
    if (context->bufferWholeImage) {
        // The scans are coded from the buffer after the last row.
        StartScanState(context);
        context->encoderState = encoderTakingRows;
        return;
    }
    context->encoderState = encoderStartingScan;
    WriteHuffmanTables(context);
    FlushBits(context);
    // A sequential scan takes every component and the full spectrum.
    context->ss = 0;
    context->se = 63;
    context->ah = 0;
    context->al = 0;
    WriteScanHeader(context);
    StartScanState(context);
    context->encoderState = encoderTakingRows;
}

void FinishImage(CodecContext* context) {
    if (context->bufferWholeImage) {
        RunBufferedScans(context);
    } else {
        FlushBits(context);
    }
    WriteEndOfImage(context);
    CheckOutput(context);
    context->encoderState = encoderDone;
}

}  // namespace

void EncoderStart(CodecContext* context) {
    if (context->componentCount < 1) CodecBug();
    context->scanComponentCount = context->componentCount;
    context->inputRowLength = context->width * context->componentCount;

    // The frame set-up refuses a sampling sum over 10.
    context->relaxedSampling = 0;
    context->progressive = 0;
    SetupFrame(context, 1);
    int sum = 0;
    for (int i = 0; i < context->componentCount; ++i) sum += context->components[i].h * context->components[i].v;
    if (sum > 10 && context->process == FrameProcess::baseline) context->process = FrameProcess::extended;

    if (context->averaging) context->appeFlags |= kFlagAveraging;
    if (context->preciseColour) context->appeFlags |= kFlagSixteenBit;

    context->quantTableCount = 1;
    if (!context->optimalInstalled) {
        context->dcTableCount = 1;
        context->acTableCount = 1;
    }
    AssignTables(context);
    if (context->process == FrameProcess::progressive) ChooseScanScript(context);
    SetupScan(context);
    if (context->bufferWholeImage) SizeCoefficientBuffers(context);

    context->outputBits = 0;
    context->outputBitCount = 0;
    context->bytesWritten = 0;
    ComputeQuantTables(context);
    context->quantTablesDefined = context->quantTableCount;
    uint8_t* colourTables = AllocateWorkBlock(context, context->inputRowLength, ForwardColourTableBytes(context), 1);
    if (colourTables != nullptr) PlaceForwardColourTables(context, colourTables);
    if (context->colourTransform != 0) BuildForwardColourTables(context);
    if (context->optimise != 0 && !context->optimalInstalled) PrepareStatistics(context);
    context->rowInGroup = 0;
    context->rowGroup = 0;
    context->rowsTaken = 0;
    context->encoderState = encoderBeforeFirstRow;
}

int32_t EncoderWriteRow(CodecContext* context) {
    if (context->encoderState == encoderDone) return -1;
    if (context->encoderState == encoderBeforeFirstRow) StartImage(context);

    ConvertInputRow(context);
    if (++context->rowsTaken == context->height) {
        FinishLastRows(context);
        CodeMcuRow(context);
        FinishImage(context);
        return -1;
    }
    if (++context->rowInGroup == context->vMax) {
        context->rowInGroup = 0;
        if (++context->rowGroup == 8) {
            CodeMcuRow(context);
            context->rowGroup = 0;
        }
    }
    return 0;
}

}  // namespace kv::codec
