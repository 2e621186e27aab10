// Runs the decoder's entry points on a byte stream, as the shell does, and reports the category and
// message of a raised error instead of a host code, so that tests can tell the failures apart.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <csetjmp>
#include <memory>
#include <vector>

#include "codec/codec_context.h"
#include "codec/codec_errors.h"
#include "codec/decoder.h"
#include "codec/marker_reader.h"
#include "shell/stream.h"
#include "tests/support/test_support.h"

namespace testing_support {

using namespace kv::codec;
using namespace kv::shell;

class DecoderHarness {
public:
    explicit DecoderHarness(const std::vector<uint8_t>& bytes) : file_(bytes) {
        fd_ = OpenDescriptor(file_.Path(), O_RDONLY);
        int16_t error = 0;
        StreamBuffer* source = StreamOpen(static_cast<uint64_t>(fd_), 0, &error);
        context_ = CodecCreate(true);
        context_->stream = source;
        context_->decoder = 1;
        context_->colourTransform = kTransformUnset;
        context_->preciseColour = 1;
        context_->markerHook = [](CodecContext*, int, std::span<const uint8_t>) { return 1; };
    }
    ~DecoderHarness() {
        StreamClose(context_->stream);
        ReleaseWorkBlock(context_);
        ReleaseMarkers(context_);
        CodecDestroy(context_);
        close(fd_);
    }
    DecoderHarness(const DecoderHarness&) = delete;
    DecoderHarness& operator=(const DecoderHarness&) = delete;

    CodecContext* Context() { return context_; }

    // Calls ReadHeader until the header is complete; answers the raised category, or 0. *first
    // receives the answer of the first call.
    int Header(int* first = nullptr) {
        if (int category = setjmp(codecJumpPoint)) return category;
        const int answer = ReadHeader(context_);
        if (first != nullptr) *first = answer;
        if (answer != 0) return 0;
        while (ReadHeader(context_) == 0) {
        }
        return 0;
    }

    // Reads every row into `rows`; answers the raised category, or 0.
    int Rows(std::vector<std::vector<uint8_t>>* rows) {
        if (int category = setjmp(codecJumpPoint)) return category;
        while (ReadRow(context_) == 0) {
            rows->emplace_back(context_->outputRow, context_->outputRow + context_->bytesPerRow);
        }
        return 0;
    }

    int Message() const { return context_->errorMessage; }

private:
    ScratchFile file_;
    int fd_ = -1;
    CodecContext* context_ = nullptr;
};

}  // namespace testing_support
