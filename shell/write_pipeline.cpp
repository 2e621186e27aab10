// The write selectors: prepare, start, continue and finish of writing the host's frame as a JPEG.
// Start maps the stored options onto encoder parameters and builds the JFIF and ICC profile markers;
// continue feeds one row per call to the encoder and pushes the bytes produced to the file.
#include <cstring>

#include "codec/codec_errors.h"
#include "codec/encoder/encoder.h"
#include "shell/handlers.h"
#include "shell/host_memory.h"
#include "shell/options_record.h"
#include "shell/stream.h"
#include "shell/shell_state.h"

namespace kv::shell {

namespace {

constexpr int kQualityLevels = 11;
// Quality scale per quality 0..10; not monotonic between 4 and 5.
constexpr float kQualityScale[kQualityLevels] = {1.5f, 1.3f, 1.0f, 0.76f, 0.5f, 0.65f,
                                                 0.4f, 0.25f, 0.15f, 0.075f, 0.025f};
// Bytes after a row for the encoder's copies of its last pixel (three pixels of up to four bytes).
constexpr std::size_t kRowSlack = 16;
constexpr int32_t kIccChunkLimit = 65519;
constexpr int32_t kIccMaximumChunks = 255;
constexpr uint8_t kIccIdentifier[12] = {'I', 'C', 'C', '_', 'P', 'R', 'O', 'F', 'I', 'L', 'E', 0};

int16_t FromBigEndian(int16_t stored) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(&stored);
    return static_cast<int16_t>((bytes[0] << 8) | bytes[1]);
}

// Sets the encoder parameters from the stored options and the host's image description.
void SetParameters(codec::CodecContext* context, const HostFormatRecord* record,
                   const JpegOptionsRecord* options) {
    int quality = FromBigEndian(options->quality);
    if (quality < 0) quality = 0;
    if (quality >= kQualityLevels) quality = kQualityLevels - 1;
    const float scale = kQualityScale[quality];
    context->qualityScale = scale;
    context->quantiserCap = quality == 0 ? 94 : (quality == 1 ? 90 : 85);
    // Only quality 0 reaches the coarser tables: the single-precision 1.3 lies below the double 1.3.
    context->tableSelection = static_cast<double>(scale) >= 1.3 ? 18 : 0;
    const int32_t subsampled = scale < 0.5f ? 1 : 2;
    const int32_t sampling[codec::kMaxComponents] = {subsampled, 1, 1, subsampled};
    for (int i = 0; i < codec::kMaxComponents; ++i) {
        context->components[i].h = sampling[i];
        context->components[i].v = sampling[i];
    }
    context->width = record->columns;
    context->height = record->rows;
    context->componentCount = 3;
    context->colourTransform = 1;
    context->averaging = 1;
    context->preciseColour = 1;
    context->reductionFactor = 0.75f;
    context->appeVersion = 100;
    context->restartInterval = 0;
    context->decoder = 0;
    // Format 0 (and anything unknown) is baseline with the built-in tables; 1 and 2 keep the whole
    // image and code it with optimal tables, 2 as a progressive script of 3, 4 or 5 scans.
    const int16_t format = FromBigEndian(options->format);
    context->process =
        format == 2 ? codec::FrameProcess::progressive : codec::FrameProcess::baseline;
    if (format == 1 || format == 2) {
        context->bufferWholeImage = 1;
        context->optimise = 1;
        context->statisticsPass = 1;
    }
    if (format == 2) {
        int scans = FromBigEndian(options->scans);
        if (scans < 1) scans = 1;
        if (scans > 3) scans = 3;
        context->scanScript = scans;
    }
}

// Appends a marker record of `bytes` bytes to the context's list; null without memory.
codec::MarkerRecord* AppendMarker(codec::CodecContext* context, int32_t bytes) {
    auto* marker = static_cast<codec::MarkerRecord*>(
        codec::MemoryAllocate(codec::kMarkerRecordHeader + static_cast<std::size_t>(bytes)));
    if (marker == nullptr) return nullptr;
    marker->next = nullptr;
    marker->totalBytes = bytes;
    codec::MarkerRecord** tail = &context->markers;
    while (*tail != nullptr) tail = &(*tail)->next;
    *tail = marker;
    return marker;
}

// The JFIF APP0 marker with the host's resolution as whole pixels per inch (units 0).
int16_t AddJfifMarker(codec::CodecContext* context, const HostFormatRecord* record) {
    codec::MarkerRecord* marker = AppendMarker(context, 18);
    if (marker == nullptr) return resultOutOfMemory;
    const auto x = static_cast<uint32_t>(record->horizontalResolution) >> 16;
    const auto y = static_cast<uint32_t>(record->verticalResolution) >> 16;
    const uint8_t bytes[18] = {0xFF, 0xE0, 0, 16, 'J', 'F', 'I', 'F', 0, 1, 2, 0,
                               static_cast<uint8_t>(x >> 8), static_cast<uint8_t>(x),
                               static_cast<uint8_t>(y >> 8), static_cast<uint8_t>(y), 0, 0};
    std::memcpy(marker->bytes, bytes, sizeof bytes);
    return resultOk;
}

// The host's ICC profile cut into "ICC_PROFILE" APP2 chunks of at most 65519 bytes.
int16_t AddProfileMarkers(codec::CodecContext* context, HostFormatRecord* record) {
    if (record->profilesEnabled == 0 || record->profileData == nullptr || record->profileSize <= 0) return resultOk;
    const int32_t size = record->profileSize;
    const int32_t chunks = (size + kIccChunkLimit - 1) / kIccChunkLimit;
    // The chunk count is one byte: a larger profile cannot be written.
    if (chunks > kIccMaximumChunks) return resultBadParameters;
    HandleSuite* suite = record->handleSuite;
    const char* profile = suite->lockHandle(record->profileData, 0);
    int16_t code = resultOk;
    for (int32_t k = 0; k < chunks && code == resultOk; ++k) {
        const int32_t chunkSize = k + 1 < chunks ? kIccChunkLimit : size - k * kIccChunkLimit;
        codec::MarkerRecord* marker = AppendMarker(context, chunkSize + 18);
        if (marker == nullptr) {
            code = resultOutOfMemory;
            break;
        }
        uint8_t* out = marker->bytes;
        const int32_t length = chunkSize + 16;
        out[0] = 0xFF;
        out[1] = 0xE2;
        out[2] = static_cast<uint8_t>(length >> 8);
        out[3] = static_cast<uint8_t>(length);
        std::memcpy(out + 4, kIccIdentifier, sizeof kIccIdentifier);
        out[16] = static_cast<uint8_t>(k + 1);
        out[17] = static_cast<uint8_t>(chunks);
        std::memcpy(out + 18, profile + static_cast<std::size_t>(k) * kIccChunkLimit, static_cast<std::size_t>(chunkSize));
    }
    suite->unlockHandle(record->profileData);
    return code;
}

// Starts the encoder; answers 0 or the failure of a stream or memory operation.
int16_t StartEncoder(codec::CodecContext* context, void*) {
    EncoderStart(context);
    return lastError;
}

// The first failure of the sink, which it keeps however many writes succeed after it; 0 when none.
int16_t SinkFailure(const codec::CodecContext* context) {
    return context->stream == nullptr ? int16_t{resultOk}
                                      : static_cast<int16_t>(codec::StreamError(context->stream));
}

// Feeds one row to the encoder and pushes its bytes to the file. Any write, flush or seek that failed
// on the way, even one that later writes went past, fails the row (RunInCodec answers the sink's
// kept failure), and the calls that follow answer the same.
int16_t EncodeRow(codec::CodecContext* context, void*) {
    EncoderWriteRow(context);
    SinkFlush(context->stream);
    if (const int16_t failure = SinkFailure(context); failure != resultOk) {
        lastError = failure;
        context->failureResult = failure;
        return failure;
    }
    return lastError;
}

}  // namespace

void WriteStart(HostFormatRecord* record, intptr_t, int16_t* result) {
    codec::CodecContext* context = OpenCodecContext(record, StreamUse::sink, result);
    if (context == nullptr) return;
    int16_t code = EnsureOptionsRecord(record);
    // An empty frame cannot be coded.
    if (code == resultOk && (record->columns <= 0 || record->rows <= 0)) code = resultBadParameters;
    if (code == resultOk) {
        SetParameters(context, record, OptionsRecordOf(record));
        code = AddJfifMarker(context, record);
    }
    if (code == resultOk) code = AddProfileMarkers(context, record);
    if (code == resultOk) code = RunInCodec(context, StartEncoder, nullptr, FailureKept::no);

    uint8_t* rowBuffer = nullptr;
    if (code == resultOk) {
        const int32_t rowBytes = context->inputRowLength;
        record->area[areaTop] = 0;
        record->area[areaLeft] = 0;
        record->area[areaBottom] = 1;
        record->area[areaRight] = record->columns;
        record->firstPlane = 0;
        record->lastPlane = 2;
        record->columnStep = 3;
        record->planeStep = 1;
        record->rowStep = rowBytes;
        // The host's row is the encoder's input row: the room after it takes the copies of the last
        // pixel that the conversion appends.
        rowBuffer = static_cast<uint8_t*>(ShellAllocate(static_cast<std::size_t>(rowBytes) + kRowSlack, &code));
    }
    *result = KeepRunState(record, context, rowBuffer, code);
    if (*result == resultOk) {
        record->rowData = rowBuffer;
        context->inputRow = rowBuffer;
    }
}

void WriteContinue(HostFormatRecord* record, intptr_t, int16_t* result) {
    JpegOptionsRecord* options = RunningOptions(record, result);
    if (options == nullptr) return;
    codec::CodecContext* context = options->context;
    const int32_t row = options->rowCounter + 1;
    if (row > context->height) {
        // Every row has been taken and the file is complete: a further call only ends the loop again.
        record->rowData = nullptr;
        for (int16_t& side : record->area) side = 0;
        return;
    }
    options->rowCounter = static_cast<uint16_t>(row);
    if (record->rowData == nullptr) {
        *result = resultBadParameters;
        return;
    }
    // A host that hands its own row instead of filling ours has it copied.
    if (record->rowData != context->inputRow) {
        std::memcpy(context->inputRow, record->rowData, static_cast<std::size_t>(context->inputRowLength));
    }
    const int16_t code = RunInCodec(context, EncodeRow, nullptr, FailureKept::yes);
    if (code != resultOk) {
        *result = code;
        return;
    }
    if (record->reportProgress != nullptr) record->reportProgress(row, context->height);
    if (record->cancelCheck != nullptr && record->cancelCheck() != 0) {
        *result = resultCancelled;
        return;
    }
    if (row < context->height) {
        record->area[areaTop] = static_cast<int16_t>(row);
        record->area[areaBottom] = static_cast<int16_t>(row + 1);
    } else {
        record->rowData = nullptr;
        for (int16_t& side : record->area) side = 0;
    }
}

void WriteFinish(HostFormatRecord* record, intptr_t, int16_t* result) {
    // A failed write that no continue call answered (the host stopped before the row that would
    // have) is answered here: a file that lost bytes is never reported as written.
    const JpegOptionsRecord* options = ValidOptionsRecord(record);
    if (options != nullptr && options->context != nullptr && options->context->failureResult == 0) {
        *result = SinkFailure(options->context);
    }
    ReleaseRunState(record);
}

}  // namespace kv::shell
