// The read selectors: prepare, start, continue and finish of reading a JPEG into the host. Start
// parses the header and describes the image (size, mode, resolution, ICC profile); continue hands
// over one decoded row per call; finish releases everything.
#include <cstring>
#include <span>

#include "codec/codec_errors.h"
#include "codec/decoder.h"
#include "shell/handlers.h"
#include "shell/host_memory.h"
#include "shell/options_record.h"
#include "shell/stream.h"
#include "shell/shell_state.h"

namespace kv::shell {

namespace {

constexpr int kApp2 = 0xE2;
constexpr uint8_t kIccIdentifier[12] = {'I', 'C', 'C', '_', 'P', 'R', 'O', 'F', 'I', 'L', 'E', 0};
constexpr int32_t kIccHeaderBytes = 14;  // identifier, sequence number, chunk count
constexpr uint8_t kJfifIdentifier[4] = {'J', 'F', 'I', 'F'};
constexpr int32_t kJfifMinimumPayload = 14;

// The shell keeps every APPn and COM marker the reader offers.
int KeepEveryMarker(codec::CodecContext*, int, std::span<const uint8_t>) { return 1; }

// The host's cancel check, asked by the codec during the header phase, which for a progressive file
// decodes every scan (and for any file may skip a long run of bytes before a marker).
int AskHostToStop(codec::CodecContext*) {
    const HostFormatRecord* record = currentRecord;
    return record != nullptr && record->cancelCheck != nullptr && record->cancelCheck() != 0 ? 1 : 0;
}

// Runs the header phase with the host's cancel check within the codec's reach; answers 0, or -30501
// when the first call finds no header. Rows are then checked once each by read continue, as the
// host expects.
int16_t ReadWholeHeader(codec::CodecContext* context, void*) {
    context->cancelHook = AskHostToStop;
    if (ReadHeader(context) != 0) return resultCannotRead;
    while (ReadHeader(context) == 0) {
    }
    context->cancelHook = nullptr;
    return resultOk;
}

// Sets the mode and channel fields for the frame's component count.
int16_t DescribeMode(HostFormatRecord* record, int32_t components) {
    switch (components) {
        case 1:
            record->imageMode = 1;
            break;
        case 3:
            record->imageMode = 3;
            record->planeStep = 1;
            break;
        case 4:
            record->imageMode = 4;
            record->planeStep = 1;
            break;
        default:
            return resultCannotRead;
    }
    record->firstPlane = 0;
    record->lastPlane = static_cast<int16_t>(components - 1);
    record->columnStep = static_cast<int16_t>(components);
    return resultOk;
}

// Appends one ICC profile chunk to the host's profile handle.
int16_t AppendProfileChunk(HostFormatRecord* record, std::span<const uint8_t> chunk) {
    const auto size = static_cast<int32_t>(chunk.size());  // a marker's payload at most
    HandleSuite* suite = record->handleSuite;
    int32_t oldSize = 0;
    if (record->profileData == nullptr) {
        Handle handle = suite->newHandle(size);
        if (handle == nullptr) return resultOutOfMemory;
        record->profileData = handle;
        record->profileSize = size;
    } else {
        oldSize = suite->getHandleSize(record->profileData);
        const int16_t error = suite->setHandleSize(record->profileData, oldSize + size);
        if (error != 0) return error;
        record->profileSize += size;
    }
    char* block = suite->lockHandle(record->profileData, 0);
    std::memcpy(block + oldSize, chunk.data(), chunk.size());
    suite->unlockHandle(record->profileData);
    return resultOk;
}

// Walks the kept markers in file order: ICC profile chunks are joined into the host's profile,
// and the last JFIF marker gives the resolution.
int16_t TakeKeptMarkers(HostFormatRecord* record, const codec::CodecContext* context) {
    for (const codec::MarkerRecord* marker = context->markers; marker != nullptr;
         marker = marker->next) {
        const int code = marker->bytes[1];
        const uint8_t* payload = marker->bytes + 4;
        const int32_t length = marker->totalBytes - 4;
        if (code == kApp2) {
            if (record->profilesEnabled == 0 || length < kIccHeaderBytes) continue;
            if (std::memcmp(payload, kIccIdentifier, sizeof kIccIdentifier) != 0) continue;
            const int32_t chunkSize = length - kIccHeaderBytes;
            if (chunkSize == 0) continue;
            const int16_t error = AppendProfileChunk(
                record, {payload + kIccHeaderBytes, static_cast<std::size_t>(chunkSize)});
            if (error != resultOk) return error;
        } else if (length >= kJfifMinimumPayload && std::memcmp(payload, kJfifIdentifier, 4) == 0) {
            // Whole pixels per inch in 16.16; the units byte is not consulted.
            const uint32_t x = (uint32_t{payload[8]} << 8) | payload[9];
            const uint32_t y = (uint32_t{payload[10]} << 8) | payload[11];
            record->horizontalResolution = static_cast<int32_t>(x << 16);
            record->verticalResolution = static_cast<int32_t>(y << 16);
        }
    }
    return resultOk;
}

// Decodes the next row; answers 0 with the int at `ended` telling whether no row was left.
int16_t DecodeNextRow(codec::CodecContext* context, void* ended) {
    *static_cast<int*>(ended) = ReadRow(context);
    return resultOk;
}

}  // namespace

void ReadStart(HostFormatRecord* record, intptr_t, int16_t* result) {
    codec::CodecContext* context = OpenCodecContext(record, StreamUse::source, result);
    if (context == nullptr) return;
    context->decoder = 1;
    context->colourTransform = codec::kTransformUnset;
    context->preciseColour = 1;
    context->process = codec::FrameProcess::baseline;
    context->markerHook = KeepEveryMarker;

    uint8_t* rowBuffer = nullptr;
    int16_t code = RunInCodec(context, ReadWholeHeader, nullptr, FailureKept::no);
    if (code == resultOk) code = EnsureOptionsRecord(record);
    if (code == resultOk) code = DescribeMode(record, context->componentCount);
    if (code == resultOk) code = TakeKeptMarkers(record, context);
    if (code == resultOk) {
        record->columns = static_cast<int16_t>(context->width);
        record->rows = static_cast<int16_t>(context->height);
        record->planes = static_cast<int16_t>(context->componentCount);
        record->rowStep = context->bytesPerRow;
        record->area[areaLeft] = 0;
        record->area[areaRight] = static_cast<int16_t>(context->width);
        rowBuffer = static_cast<uint8_t*>(ShellAllocate(static_cast<std::size_t>(context->bytesPerRow), &code));
    }
    *result = KeepRunState(record, context, rowBuffer, code);
}

void ReadContinue(HostFormatRecord* record, intptr_t, int16_t* result) {
    JpegOptionsRecord* options = RunningOptions(record, result);
    if (options == nullptr) return;
    codec::CodecContext* context = options->context;
    const int32_t row = options->rowCounter;
    if (row >= context->height) {
        record->rowData = nullptr;
        return;
    }
    record->area[areaTop] = static_cast<int16_t>(row);
    record->area[areaBottom] = static_cast<int16_t>(row + 1);
    options->rowCounter = static_cast<uint16_t>(row + 1);

    int ended = 0;
    const int16_t code = RunInCodec(context, DecodeNextRow, &ended, FailureKept::yes);
    if (code != resultOk) {
        *result = code;
        return;
    }
    if (ended) {
        record->rowData = nullptr;
        return;
    }
    if (lastError != resultOk) {
        *result = lastError;
        return;
    }
    uint8_t* rowBuffer = options->rowBuffer;
    const int32_t bytes = context->bytesPerRow;
    std::memcpy(rowBuffer, context->outputRow, static_cast<std::size_t>(bytes));
    // The host's CMYK is stored as ink amounts: 0 is no ink.
    if (context->componentCount == 4) {
        for (int32_t i = 0; i < bytes; ++i) rowBuffer[i] = static_cast<uint8_t>(255 - rowBuffer[i]);
    }
    if (record->reportProgress != nullptr) record->reportProgress(row + 1, context->height);
    if (record->cancelCheck != nullptr && record->cancelCheck() != 0) {
        *result = resultCancelled;
        return;
    }
    record->rowData = rowBuffer;
}

void ReadFinish(HostFormatRecord* record, intptr_t, int16_t*) {
    ReleaseRunState(record);
}

}  // namespace kv::shell
