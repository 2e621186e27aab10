// The run state of a read or write: the mapping of codec failures to host results and the release of
// the codec context and row buffer kept in the options record.
#include <csetjmp>

#include "codec/codec_context.h"
#include "codec/codec_errors.h"
#include "shell/handlers.h"
#include "shell/host_memory.h"
#include "shell/options_record.h"
#include "shell/shell_state.h"
#include "shell/stream.h"

namespace kv::shell {

int16_t MapCodecFailure(int category) {
    // The host's own request to stop outranks whatever the last stream operation left behind.
    if (category == codec::categoryCancelled) {
        lastError = resultCancelled;
        return lastError;
    }
    if (lastError != resultOk) return lastError;
    switch (category) {
        case codec::categoryNoMemory: lastError = resultOutOfMemory; break;
        case codec::categorySourceFailed:
        case codec::categoryDataReserved:
        case codec::categoryBadData:
        case codec::categoryLimit: lastError = resultCannotRead; break;
        default: lastError = resultCodecFailure; break;
    }
    return lastError;
}

codec::CodecContext* OpenCodecContext(HostFormatRecord* record, StreamUse use, int16_t* result) {
    int16_t code = resultOk;
    codec::StreamBuffer* stream = StreamOpen(record->fileHandle, static_cast<int32_t>(use), &code);
    if (stream == nullptr) {
        *result = code;
        return nullptr;
    }
    codec::CodecContext* context = codec::CodecCreate(use == StreamUse::source);
    if (context == nullptr) {
        StreamClose(stream);
        *result = resultOutOfMemory;
        return nullptr;
    }
    context->stream = stream;
    return context;
}

int16_t KeepRunState(HostFormatRecord* record, codec::CodecContext* context, uint8_t* rowBuffer, int16_t code) {
    JpegOptionsRecord* options = ValidOptionsRecord(record);
    if (code != resultOk) {
        ReleaseCodecContext(context);
        ShellFree(rowBuffer);
        rowBuffer = nullptr;
    }
    if (options != nullptr) {
        options->context = context;
        options->rowBuffer = rowBuffer;
    }
    return code;
}

void ReleaseCodecContext(codec::CodecContext*& context) {
    if (context == nullptr) return;
    StreamClose(context->stream);
    ReleaseWorkBlock(context);
    ReleaseMarkers(context);
    CodecDestroy(context);
}

void ReleaseRunState(HostFormatRecord* record) {
    JpegOptionsRecord* options = ValidOptionsRecord(record);
    if (options == nullptr || options->context == nullptr) return;
    codec::CodecContext* context = options->context;
    ReleaseCodecContext(context);
    if (uint8_t* rowBuffer = options->rowBuffer) ShellFree(rowBuffer);  // no reference to a packed field
    options->context = nullptr;
    options->rowBuffer = nullptr;
}

void PrepareTransfer(HostFormatRecord* record, intptr_t, int16_t*) {
    record->bufferMemory = 0;
    lastError = resultOk;
    currentRecord = record;
}

JpegOptionsRecord* RunningOptions(HostFormatRecord* record, int16_t* result) {
    JpegOptionsRecord* options = ValidOptionsRecord(record);
    if (options == nullptr || options->context == nullptr) {
        *result = resultBadParameters;
        return nullptr;
    }
    if (options->context->failureResult != 0) {
        *result = static_cast<int16_t>(options->context->failureResult);
        return nullptr;
    }
    return options;
}

int16_t RunInCodec(codec::CodecContext* context, CodecStep step, void* data, FailureKept kept) {
    if (int category = setjmp(codec::codecJumpPoint)) {
        // A sink keeps its first failure however many writes succeed after it: the output check
        // raises for it, and the file's own code is the answer.
        const codec::StreamBuffer* stream = context->stream;
        if (stream != nullptr && stream->writeFlag != 0 && codec::StreamError(stream) != resultOk) {
            lastError = static_cast<int16_t>(codec::StreamError(stream));
        }
        return kept == FailureKept::yes ? RecordCodecFailure(context, category) : MapCodecFailure(category);
    }
    return step(context, data);
}

int16_t RecordCodecFailure(codec::CodecContext* context, int category) {
    context->failureResult = MapCodecFailure(category);
    return static_cast<int16_t>(context->failureResult);
}

}  // namespace kv::shell
