// The marker writer: SOI, the caller's APPn markers, APPE, DQT, SOF, DRI, DHT, SOS and EOI, byte for
// byte, through the context's sink and byte counter.
#include "codec/encoder/marker_writer.h"

#include "codec/codec_errors.h"
#include "codec/encoder/bit_writer.h"
#include "codec/encoder/encoder_tables.h"
#include "codec/encoder/huffman_encode.h"

namespace kv::codec {

namespace {

constexpr uint8_t kAppeIdentifier[5] = {'N', 'u', 'r', 'v', 'o'};
constexpr uint32_t kAppeVersionWritten = 100;

constexpr int kLongestScript = 50;

// Scans of a progressive script whose end offsets go into the directory.
int DirectoryScans(const CodecContext* context) {
    if (context->process != FrameProcess::progressive || context->script == nullptr) return 0;
    if (context->scriptLength > kLongestScript) CodecBug();
    int flagged = 0;
    for (int s = 0; s < context->scriptLength; ++s) flagged += context->script[s].directory;
    if (flagged > kMaxScanDirectory) CodecBug();
    return flagged >= 2 ? flagged : 0;
}

void WriteAppe(CodecContext* context) {
    const int32_t caption = context->caption != nullptr ? context->captionLength : 0;
    const int directory = DirectoryScans(context);
    const uint32_t length = 14 + (caption > 0 ? 3 + static_cast<uint32_t>(caption) : 0) +
                            (directory > 0 ? 5u * static_cast<uint32_t>(directory) + 4 : 0);
    if (length > 65535) CodecBug();
    WriteMarker(context, 0xEE);
    Write16(context, length);
    for (uint8_t byte : kAppeIdentifier) WriteByte(context, byte);
    Write16(context, kAppeVersionWritten);
    Write32(context, context->appeFlags);
    WriteByte(context, context->colourTransform);
    if (caption > 0) {
        WriteByte(context, 4);
        Write16(context, static_cast<uint32_t>(caption));
        for (int32_t i = 0; i < caption; ++i) WriteByte(context, static_cast<uint8_t>(context->caption[i]));
    }
    if (directory > 0) {
        WriteByte(context, 3);
        Write16(context, 5u * static_cast<uint32_t>(directory) + 1);
        WriteByte(context, directory);
        for (int s = 0; s < context->scriptLength; ++s) {
            if (context->script[s].directory) WriteByte(context, s);
        }
        // The offsets are known only once the scans are written: placeholders, patched at the end.
        context->directoryPosition = SinkTell(context->stream);
        for (int i = 0; i < directory; ++i) Write32(context, 0);
    }
}

void WriteQuantTables(CodecContext* context) {
    WriteMarker(context, 0xDB);
    Write16(context, 65u * static_cast<uint32_t>(context->quantTableCount) + 2);
    for (int t = 0; t < context->quantTableCount; ++t) {
        WriteByte(context, t);
        for (int k = 0; k < 64; ++k) WriteByte(context, context->quant[t].entries[k]);
    }
}

void WriteFrame(CodecContext* context) {
    WriteMarker(context, 0xC0 + static_cast<int>(context->process));
    Write16(context, 3u * static_cast<uint32_t>(context->componentCount) + 8);
    WriteByte(context, 8);
    Write16(context, static_cast<uint32_t>(context->height));
    Write16(context, static_cast<uint32_t>(context->width));
    WriteByte(context, context->componentCount);
    for (int i = 0; i < context->componentCount; ++i) {
        const ComponentInfo& component = context->components[i];
        WriteByte(context, component.id);
        WriteByte(context, component.h * 16 + component.v);
        WriteByte(context, component.quantTable);
    }
}

void WriteHuffmanTable(CodecContext* context, int tableClassAndNumber, const HuffmanTable& table) {
    WriteByte(context, tableClassAndNumber);
    for (int l = 1; l <= 16; ++l) WriteByte(context, table.bits[l]);
    for (int i = 0; i < table.valueCount; ++i) WriteByte(context, table.values[i]);
}

}  // namespace

void WriteFrameHeaders(CodecContext* context) {
    WriteMarker(context, 0xD8);
    for (const MarkerRecord* marker = context->markers; marker != nullptr; marker = marker->next) {
        for (int32_t i = 0; i < marker->totalBytes; ++i) WriteByte(context, marker->bytes[i]);
    }
    if (context->appeVersion != 0) WriteAppe(context);
    WriteQuantTables(context);
    WriteFrame(context);
    if (context->restartInterval != 0) {
        WriteMarker(context, 0xDD);
        Write16(context, 4);
        Write16(context, static_cast<uint32_t>(context->restartInterval));
    }
}

void WriteHuffmanTables(CodecContext* context) {
    if (!context->optimalInstalled) LoadDefaultHuffmanTables(context);
    uint32_t length = 2;
    for (int j = 0; j < context->dcTableCount; ++j) length += 17 + static_cast<uint32_t>(context->dcTables[j].valueCount);
    for (int j = 0; j < context->acTableCount; ++j) length += 17 + static_cast<uint32_t>(context->acTables[j].valueCount);
    WriteMarker(context, 0xC4);
    Write16(context, length);
    for (int j = 0; j < context->dcTableCount; ++j) {
        WriteHuffmanTable(context, j, context->dcTables[j]);
        DeriveEncoderCodes(context, &context->dcTables[j], &context->dcCodes[j], 0);
    }
    for (int j = 0; j < context->acTableCount; ++j) {
        WriteHuffmanTable(context, 16 + j, context->acTables[j]);
        DeriveEncoderCodes(context, &context->acTables[j], &context->acCodes[j], 1);
    }
}

void WriteScanHeader(CodecContext* context) {
    WriteMarker(context, 0xDA);
    Write16(context, 2u * static_cast<uint32_t>(context->scanComponentCount) + 6);
    WriteByte(context, context->scanComponentCount);
    for (int i = 0; i < context->scanComponentCount; ++i) {
        const ScanComponent& scan = context->scan[i];
        WriteByte(context, scan.component->id);
        WriteByte(context, scan.dcTable * 16 + scan.acTable);
    }
    WriteByte(context, context->ss);
    WriteByte(context, context->se);
    WriteByte(context, context->ah * 16 + context->al);
}

void WriteEndOfImage(CodecContext* context) { WriteMarker(context, 0xD9); }

void RecordScanEnd(CodecContext* context, int scan) {
    if (context->appeVersion == 0 || context->script == nullptr || !context->script[scan].directory) return;
    if (context->scanDirectoryCount >= kMaxScanDirectory) CodecBug();
    context->scanDirectoryScans[context->scanDirectoryCount] = static_cast<uint8_t>(scan);
    context->scanDirectoryOffsets[context->scanDirectoryCount] = context->bytesWritten;
    ++context->scanDirectoryCount;
}

void PatchScanDirectory(CodecContext* context) {
    if (context->directoryPosition == 0) return;
    StreamBuffer* sink = context->stream;
    const int32_t end = SinkTell(sink);
    if (SinkSeek(sink, context->directoryPosition, 0) != 0) return;
    for (int i = 0; i < context->scanDirectoryCount; ++i) {
        const uint32_t offset = context->scanDirectoryOffsets[i];
        for (int shift = 24; shift >= 0; shift -= 8) SinkPutByte(static_cast<int>((offset >> shift) & 0xFF), sink);
    }
    if (SinkSeek(sink, end, 0) != 0) CodecRaise(context, categoryReposition, messageRepositionFailed);
}

}  // namespace kv::codec
