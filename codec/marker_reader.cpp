// The marker reader: walks the JPEG stream marker by marker, checks and stores every segment,
// keeps APPn and COM markers for the shell, reads the APPE marker, sets up the frame and starts
// each scan. Input: bytes from the context's source; output: the context's frame, tables and scan.
#include "codec/marker_reader.h"

#include <cstring>
#include <span>

#include "codec/bit_reader.h"
#include "codec/codec_errors.h"
#include "codec/colour_convert.h"
#include "codec/frame.h"
#include "codec/huffman_decode.h"
#include "codec/huffman_tables.h"
#include "codec/inverse_dct.h"
#include "codec/progressive_decode.h"
#include "codec/simd.h"
#include "codec/work_block.h"
#include "codec/codec_io.h"

namespace kv::codec {

namespace {

// Marker codes.
enum : int {
    markerSof0 = 0xC0, markerSof1 = 0xC1, markerSof2 = 0xC2, markerSof3 = 0xC3,
    markerDht = 0xC4, markerSof15 = 0xCF,
    markerRst0 = 0xD0, markerRst7 = 0xD7, markerSoi = 0xD8, markerEoi = 0xD9, markerSos = 0xDA,
    markerDqt = 0xDB, markerDri = 0xDD, markerApp0 = 0xE0, markerAppe = 0xEE, markerApp15 = 0xEF,
    markerCom = 0xFE,
};

constexpr uint8_t kAppeIdentifier[5] = {'N', 'u', 'r', 'v', 'o'};

// Primitive reads of the marker segments: each takes the look-ahead byte and fetches the next.
int ReadByte(CodecContext* context) {
    const int byte = context->lookahead;
    if (byte < 0 || byte > 255) RaiseSourceEnded(context);
    NoteWork(context, kWorkPerMarkerByte);
    context->lookahead = DecoderFetchByte(context);
    return byte;
}

int32_t Read16(CodecContext* context) {
    const int32_t high = ReadByte(context);
    return (high << 8) | ReadByte(context);
}

uint32_t Read32(CodecContext* context) {
    const uint32_t high = static_cast<uint32_t>(Read16(context));
    return (high << 16) | static_cast<uint32_t>(Read16(context));
}

// Fills `buffer` (at most a segment's 65535 bytes): the look-ahead byte, the rest straight from the
// source, then a fresh look-ahead.
void ReadBytes(CodecContext* context, std::span<uint8_t> buffer) {
    const auto n = static_cast<int32_t>(buffer.size());
    if (n <= 0) return;
    NoteWork(context, kWorkPerMarkerByte * (n - 1));
    buffer[0] = static_cast<uint8_t>(ReadByte(context));
    if (n == 1) return;
    // ReadByte already fetched the next byte as look-ahead: it is the second byte wanted.
    const int second = context->lookahead;
    if (second < 0) RaiseSourceEnded(context);
    buffer[1] = static_cast<uint8_t>(second);
    if (n > 2) {
        const int32_t got = SourceRead(buffer.subspan(2), context->stream);
        if (got != n - 2) {
            if (StreamError(context->stream) == kIoEndOfFile) lastError = kIoOk;
            RaiseSourceEnded(context);
        }
    }
    context->lookahead = DecoderFetchByte(context);
}

void SkipBytes(CodecContext* context, int32_t n) {
    for (int32_t i = 0; i < n; ++i) ReadByte(context);
}

// A segment whose fields ran past its length is refused; bytes left over are skipped.
void FinishSegment(CodecContext* context, int code, int32_t remainder) {
    if (remainder < 0) CodecRaise(context, categoryBadData, messageMarkerTooShort, code);
    SkipBytes(context, remainder);
}

void RequireSoi(CodecContext* context) {
    if (context->readerState == readerStart) CodecRaise(context, categoryBadData, messageMissingSoi);
}

// ---------------------------------------------------------------------------------------------
// APPn, COM and the APPE marker.

// Parses the APPE fields after its identifier; answers the unparsed remainder (0..3 bytes).
int32_t ParseAppe(CodecContext* context, int32_t remaining) {
    if (context->readerState != readerBetweenScans) CodecRaise(context, categoryBadData, messageMissingSoi);
    context->appeVersion = Read16(context);
    context->appeFlags = Read32(context);
    context->colourTransform = ReadByte(context);
    remaining -= 7;
    while (remaining >= 4) {
        const int tag = ReadByte(context);
        if (tag <= 2) {
            remaining -= 1;
            continue;
        }
        const int32_t length = Read16(context);
        remaining -= 3 + length;
        if (remaining < 0) CodecRaise(context, categoryBadData, messageBadAppeStructure);
        if (tag == 3) {
            if (length < 5) CodecRaise(context, categoryBadData, messageBadAppeStructure);
            const int count = ReadByte(context);
            if (count > kMaxScanDirectory) CodecRaise(context, categoryLimit, messageAppeDirectoryTooLong);
            const int32_t rest = length - 1 - 5 * count;
            if (rest < 0) CodecRaise(context, categoryBadData, messageBadAppeStructure);
            context->scanDirectoryCount = count;
            for (int i = 0; i < count; ++i) context->scanDirectoryScans[i] = static_cast<uint8_t>(ReadByte(context));
            for (int i = 0; i < count; ++i) context->scanDirectoryOffsets[i] = Read32(context);
            SkipBytes(context, rest);
        } else if (tag == 4) {
            if (length >= 32768) CodecRaise(context, categoryLimit, messageCaptionTooLong);
            auto* caption = static_cast<char*>(MemoryAllocate(static_cast<std::size_t>(length) + 1));
            if (caption == nullptr) CodecRaise(context, categoryNoMemory, messageCaptionNoMemory);
            MemoryFree(context->caption);
            context->caption = caption;
            context->captionLength = 0;
            ReadBytes(context, {reinterpret_cast<uint8_t*>(caption), static_cast<std::size_t>(length)});
            caption[length] = '\0';
            context->captionLength = length;
        } else {
            SkipBytes(context, length);
        }
    }
    return remaining;
}

void ReadApplicationMarker(CodecContext* context, int code) {
    const int32_t length = Read16(context);
    const int32_t payload = length - 2;
    if (payload < 0) CodecRaise(context, categoryBadData, messageMarkerTooShort, code);
    uint8_t start[5] = {0, 0, 0, 0, 0};
    int32_t startBytes = 0;
    if (code == markerAppe && payload >= 12) {
        ReadBytes(context, {start, 5});
        startBytes = 5;
        if (std::memcmp(start, kAppeIdentifier, 5) == 0) {
            SkipBytes(context, ParseAppe(context, payload - 5));
            return;
        }
    }
    if (context->markerHook == nullptr) {
        SkipBytes(context, payload - startBytes);
        return;
    }
    const std::size_t bytes = static_cast<std::size_t>(payload) + 20;
    auto* record = static_cast<MarkerRecord*>(MemoryAllocate(bytes));
    if (record == nullptr) CodecRaise(context, categoryNoMemory, messageMarkerNoMemory);
    record->next = nullptr;
    record->totalBytes = payload + 4;
    MarkerRecord** tail = &context->markers;
    while (*tail != nullptr) tail = &(*tail)->next;
    *tail = record;
    uint8_t* out = record->bytes;
    out[0] = 0xFF;
    out[1] = static_cast<uint8_t>(code);
    out[2] = static_cast<uint8_t>(length >> 8);
    out[3] = static_cast<uint8_t>(length);
    std::memcpy(out + 4, start, static_cast<std::size_t>(startBytes));
    ReadBytes(context, {out + 4 + startBytes, static_cast<std::size_t>(payload - startBytes)});
    if (context->markerHook(context, code, {out + 4, static_cast<std::size_t>(payload)}) == 0) {
        *tail = nullptr;
        MemoryFree(record);
    }
}

// ---------------------------------------------------------------------------------------------
// Tables.

// Where the check of an AC table's values must start: past every whole group of 16 values that
// holds none the decoder cannot use (size 11 or more, or size 0 with a run other than 0 and 15
// outside progressive frames). Without SSE2, at the first value. (A DC table has at most 12.)
int FirstUnusableAcValue(const uint8_t* values, int count, bool progressive) {
    int i = 0;
#if KV_SSE2
    const __m128i nibble = _mm_set1_epi8(15);
    for (; i + 16 <= count; i += 16) {
        const __m128i group = _mm_loadu_si128(reinterpret_cast<const __m128i*>(values + i));
        const __m128i size = _mm_and_si128(group, nibble);
        __m128i bad = _mm_cmpgt_epi8(size, _mm_set1_epi8(10));
        if (!progressive) {
            const __m128i run = _mm_and_si128(_mm_srli_epi16(group, 4), nibble);
            const __m128i runUsable = _mm_or_si128(_mm_cmpeq_epi8(run, _mm_setzero_si128()), _mm_cmpeq_epi8(run, nibble));
            bad = _mm_or_si128(bad, _mm_andnot_si128(runUsable, _mm_cmpeq_epi8(size, _mm_setzero_si128())));
        }
        if (_mm_movemask_epi8(bad) != 0) break;
    }
#else
    (void)values;
    (void)count;
    (void)progressive;
#endif
    return i;
}

void ReadHuffmanTables(CodecContext* context) {
    RequireSoi(context);
    int32_t remainder = Read16(context) - 2;
    context->dhtSeen = remainder;
    while (remainder > 0) {
        const int classAndNumber = ReadByte(context);
        if ((classAndNumber & ~0x13) != 0) CodecRaise(context, categoryBadData, messageBadDhtTableNumber);
        const int isAc = (classAndNumber >> 4) & 1;
        const int number = classAndNumber & 3;
        if (number >= 2 && context->process == FrameProcess::baseline) {
            CodecRaise(context, categoryBadData, messageDhtTableNotBaseline);
        }
        HuffmanTable* table = isAc ? &context->acTables[number] : &context->dcTables[number];
        table->defined = 0;
        table->bits[0] = 0;
        ReadBytes(context, {table->bits + 1, 16});
        uint8_t sizes[kMaxAcValuesProgressive + 1];
        uint16_t codes[kMaxAcValuesProgressive];
        const int count = BuildHuffmanCodes(context, table->bits, sizes, codes, isAc);
        table->valueCount = count;
        ReadBytes(context, {table->values, static_cast<std::size_t>(count)});
        for (int i = isAc ? FirstUnusableAcValue(table->values, count, context->progressive) : 0; i < count; ++i) {
            const int value = table->values[i];
            if (!isAc) {
                if (value >= 12) CodecRaise(context, categoryBadData, messageDcValueUnusable, 12);
            } else {
                const int size = value & 15;
                const int run = value >> 4;
                if (size >= 11 || (size == 0 && run != 0 && run != 15 && !context->progressive)) {
                    CodecRaise(context, categoryBadData, messageAcValueUnusable, value);
                }
            }
        }
        BuildHuffmanLookup(table, isAc, codes);
        table->defined = 1;
        remainder -= 17 + count;
    }
    FinishSegment(context, markerDht, remainder);
}

void ReadQuantTables(CodecContext* context) {
    if (context->progressive && context->scansCompleted > 0) {
        CodecRaise(context, categoryBadData, messageDqtAfterFirstScan);
    }
    RequireSoi(context);
    int32_t remainder = Read16(context) - 2;
    context->dqtSeen = remainder;
    while (remainder > 0) {
        const int precisionAndNumber = ReadByte(context);
        const int wide = (precisionAndNumber >> 4) != 0;
        const int number = precisionAndNumber & 15;
        if (number > 3) CodecRaise(context, categoryBadData, messageBadQuantTableNumber);
        if (context->quantTablesDefined < number + 1) context->quantTablesDefined = number + 1;
        QuantTable& table = context->quant[number];
        uint8_t bytes[128];
        const int size = wide ? 2 : 1;
        ReadBytes(context, {bytes, static_cast<std::size_t>(64 * size)});
        for (int k = 0; k < 64; ++k) {
            const int entry = wide ? bytes[2 * k] << 8 | bytes[2 * k + 1] : bytes[k];
            if (entry == 0) CodecRaise(context, categoryBadData, messageQuantiserZero);
            table.entries[k] = static_cast<uint16_t>(entry);
        }
        remainder -= 1 + 64 * size;
    }
    FinishSegment(context, markerDqt, remainder);
}

void ReadRestartInterval(CodecContext* context) {
    const int32_t length = Read16(context);
    context->restartInterval = Read16(context);
    context->nextRestart = 0;
    context->restartsLeft = context->restartInterval + 1;
    FinishSegment(context, markerDri, length - 4);
}

// ---------------------------------------------------------------------------------------------
// Frame and scan.

void ReadFrameHeader(CodecContext* context, int code) {
    if (context->components[0].h != 0) CodecRaise(context, categoryBadData, messageSecondSoiOrSof);
    context->process = static_cast<FrameProcess>(code - markerSof0);
    context->relaxedSampling = code != markerSof0;
    context->progressive = code == markerSof2;
    const int32_t length = Read16(context);
    if (ReadByte(context) != 8) CodecRaise(context, categoryBadData, messagePrecisionAboveEight);
    context->height = Read16(context);
    context->width = Read16(context);
    if (context->width == 0) CodecRaise(context, categoryLimit, messageWidthZero);
    if (context->height == 0) CodecRaise(context, categoryLimit, messageHeightZero);
    const int count = ReadByte(context);
    if (count < 1 || count > kMaxComponents) CodecRaise(context, categoryBadData, messageBadColourCount);
    context->componentCount = count;
    for (int i = 0; i < count; ++i) {
        ComponentInfo& component = context->components[i];
        component.id = static_cast<uint8_t>(ReadByte(context));
        const int sampling = ReadByte(context);
        component.h = sampling >> 4;
        component.v = sampling & 15;
        component.quantTable = static_cast<uint8_t>(ReadByte(context));
    }
    const int32_t remainder = length - 8 - 3 * count;
    if (remainder < 0) CodecRaise(context, categoryBadData, messageMarkerTooShort, code);
    SetupFrame(context, 0);
    SkipBytes(context, remainder);
}

void ParseSos(CodecContext* context) {
    const int32_t length = Read16(context);
    const int count = ReadByte(context);
    if (count == 0 || count > context->componentCount) CodecRaise(context, categoryBadData, messageBadSosColourCount);
    const int32_t remainder = length - 6 - 2 * count;
    if (remainder < 0) CodecRaise(context, categoryBadData, messageMarkerTooShort, markerSos);
    context->scanComponentCount = count;
    int next = 0;  // frame components are matched in frame order
    for (int i = 0; i < count; ++i) {
        const int id = ReadByte(context);
        const int tables = ReadByte(context);
        const int dc = tables >> 4;
        const int ac = tables & 15;
        if (dc >= 4 || ac >= 4) CodecRaise(context, categoryBadData, messageBadDhtTableNumber);
        while (next < context->componentCount && context->components[next].id != id) ++next;
        if (next >= context->componentCount) CodecRaise(context, categoryBadData, messageSosComponentUnknown);
        ComponentInfo* component = &context->components[next++];
        if (component->quantTable >= context->quantTablesDefined) {
            CodecRaise(context, categoryBadData, messageBadSofQuantTable);
        }
        ScanComponent& scan = context->scan[i];
        scan.component = component;
        scan.dcTable = dc;
        scan.acTable = ac;
    }
    const int ss = ReadByte(context);
    const int se = ReadByte(context);
    const int approximation = ReadByte(context);
    const int ah = approximation >> 4;
    const int al = approximation & 15;
    if (context->progressive) {
        if (se > 63 || se < ss || (ss == 0 && se != 0)) CodecRaise(context, categoryBadData, messageBadScanBand);
        if (al > 11) CodecRaise(context, categoryBadData, messageBadScanBand);
        if (ah != 0 && ah <= al) CodecRaise(context, categoryBadData, messageBadScanBand);
        if (ss != 0 && count > 1) CodecRaise(context, categoryBadData, messageSeveralAcScanColours);
        context->ss = ss;
        context->se = se;
        context->ah = ah;
        context->al = al;
    } else {
        context->ss = 0;
        context->se = 63;
        context->ah = 0;
        context->al = 0;
    }
    // A table the scan will decode with must have been defined: an empty slot is never used.
    const bool needsDc = !context->progressive || (ss == 0 && ah == 0);
    const bool needsAc = !context->progressive || ss != 0;
    for (int i = 0; i < count; ++i) {
        const ScanComponent& scan = context->scan[i];
        if ((needsDc && !context->dcTables[scan.dcTable].defined) ||
            (needsAc && !context->acTables[scan.acTable].defined)) {
            CodecRaise(context, categoryBadData, messageTablesMissingBeforeSos);
        }
    }
    SkipBytes(context, remainder);
}

// Makes the scan components all frame components, as the output of a progressive frame needs.
void ScanAllComponents(CodecContext* context) {
    context->scanComponentCount = context->componentCount;
    for (int i = 0; i < context->componentCount; ++i) context->scan[i].component = &context->components[i];
    SetupScan(context);
}

void StartScan(CodecContext* context) {
    if (context->scansCompleted == 0 && context->workBlock == nullptr) {
        // An APPE marker between SOF and the first scan replaces the transform, under the frame's
        // rule; the colour path chosen at SOF stays, so a path that converts colour needs one.
        context->colourTransform = FrameTransform(context, context->colourTransform, 0);
        if (context->colourPath >= 2 && context->colourTransform == 0) {
            CodecRaise(context, categoryBadData, messageBadColourTransform, 0);
        }
        const int32_t colourBytes = ColourTableBytes(context);
        uint8_t* colourTables = AllocateWorkBlock(context, context->bytesPerRow, colourBytes, 0);
        if (colourTables != nullptr) {
            context->chromaTableA = reinterpret_cast<int32_t*>(colourTables);
            context->chromaTableB = reinterpret_cast<int32_t*>(colourTables + colourBytes / 2);
        }
        for (int i = 0; i < context->quantTablesDefined; ++i) BuildDequantTable(context, &context->quant[i], i);
        if (context->colourTransform != 0) BuildColourTables(context);
    }
    SetupScan(context);
    PrepareScanTables(context);
    if (context->progressive) {
        DecodeScanProgressive(context);
        ++context->scansCompleted;
        ScanAllComponents(context);
    }
    context->rowsDelivered = 0;
    context->mcuNumber = 0;
    ResetPredictors(context);
    context->readerState = readerDecodeRow;
    context->restartsLeft = context->restartInterval + 1;
}

void ReadScanHeader(CodecContext* context) {
    RequireSoi(context);
    if (context->components[0].h == 0 || context->dqtSeen == 0 || context->dhtSeen == 0) {
        CodecRaise(context, categoryBadData, messageTablesMissingBeforeSos);
    }
    if (context->process != FrameProcess::baseline && context->process != FrameProcess::extended &&
        context->process != FrameProcess::progressive) CodecBug();
    ParseSos(context);
    StartScan(context);
}

}  // namespace

void ReadMarkers(CodecContext* context) {
    for (;;) {
        const int code = NextMarker(context);
        if ((code >= markerApp0 && code <= markerApp15) || code == markerCom) {
            ReadApplicationMarker(context, code);
        } else if (code >= markerRst0 && code <= markerRst7) {
            context->nextRestart = (code - markerRst0 + 1) & 7;
        } else if (code == markerSof0 || code == markerSof1 || code == markerSof2) {
            ReadFrameHeader(context, code);
        } else if (code == markerSof3) {
            CodecRaise(context, categoryUnsupported, messageLosslessRefused);
        } else if (code >= 0xC5 && code <= 0xC7) {
            CodecRaise(context, categoryUnsupported, messageDifferentialRefused);
        } else if (code >= 0xC9 && code <= markerSof15) {
            CodecRaise(context, categoryUnsupported, messageArithmeticRefused);
        } else if (code == markerDht) {
            ReadHuffmanTables(context);
        } else if (code == markerDqt) {
            ReadQuantTables(context);
        } else if (code == markerDri) {
            ReadRestartInterval(context);
        } else if (code == markerSoi) {
            if (context->readerState != readerStart) CodecRaise(context, categoryBadData, messageSecondSoiOrSof);
            context->readerState = readerBetweenScans;
            context->restartInterval = 0;
            context->nextRestart = 0;
            context->restartsLeft = 1;
        } else if (code == markerSos) {
            ReadScanHeader(context);
            return;
        } else if (code == markerEoi) {
            RequireSoi(context);
            context->endOfImage = 1;
            if (context->scansDelivered == context->scansCompleted) context->readerState = readerFinished;
            return;
        } else {
            CodecRaise(context, categoryBadData, messageUnknownMarker, code);
        }
    }
}

}  // namespace kv::codec
