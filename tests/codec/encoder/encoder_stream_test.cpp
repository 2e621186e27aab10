// Whole streams from the encoder: the bytes of the headers as laid out for the host's settings, the
// quantisers each quality writes, restart markers, and streams that the decoder reads back.
#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <csetjmp>
#include <functional>
#include <memory>
#include <vector>

#include "codec/codec_errors.h"
#include "shell/stream.h"
#include "codec/encoder/bit_writer.h"
#include "codec/encoder/encoder.h"
#include "tests/codec/decoder_harness.h"
#include "tests/support/test_support.h"

using namespace kv::codec;
using namespace kv::shell;

namespace {

using testing_support::DecoderHarness;
using testing_support::ScratchFile;

constexpr float kScales[11] = {1.5f, 1.3f, 1.0f, 0.76f, 0.5f, 0.65f, 0.4f, 0.25f, 0.15f, 0.075f, 0.025f};

// Parameters as the host's write pipeline sets them for a quality.
void SetHostParameters(CodecContext* context, int quality, int width, int height, int colours) {
    const float scale = kScales[quality];
    context->qualityScale = scale;
    context->quantiserCap = quality == 0 ? 94 : (quality == 1 ? 90 : 85);
    context->tableSelection = quality == 0 ? 18 : 0;
    const int factor = scale < 0.5f ? 1 : 2;
    const int sampling[4] = {factor, 1, 1, factor};
    for (int i = 0; i < 4; ++i) context->components[i].h = context->components[i].v = sampling[i];
    context->width = width;
    context->height = height;
    context->componentCount = colours;
    context->colourTransform = colours == 3 ? 1 : kTransformUnset;
    context->averaging = 1;
    context->preciseColour = 1;
    context->reductionFactor = 0.75f;
    context->appeVersion = 100;
}

class EncoderStreamTest : public testing_support::HostMemoryTest {
protected:
    // Encodes `pixels` (interleaved, `colours` per pixel) and answers the raised category or 0.
    int Encode(const std::vector<uint8_t>& pixels, int quality, int width, int height, int colours,
               int restartInterval = 0, int format = 0, int script = 1) {
        ScratchFile file;
        const int fd = testing_support::OpenDescriptor(file.Path(), O_RDWR);
        int16_t error = 0;
        context_ = CodecCreate();
        context_->stream = StreamOpen(static_cast<uint64_t>(fd), 1, &error);
        SetHostParameters(context_, quality, width, height, colours);
        context_->restartInterval = restartInterval;
        if (format != 0) {
            context_->bufferWholeImage = 1;
            context_->optimise = 1;
            context_->statisticsPass = 1;
            context_->process = format == 2 ? FrameProcess::progressive : FrameProcess::baseline;
            context_->scanScript = script;
        }
        const int category = Run(pixels);
        SinkFlush(context_->stream);
        StreamClose(context_->stream);
        ReleaseWorkBlock(context_);
        ReleaseMarkers(context_);
        CodecDestroy(context_);
        close(fd);
        stream_ = file.Contents();
        return category;
    }

    int Run(const std::vector<uint8_t>& pixels) {
        if (int category = setjmp(codecJumpPoint)) return category;
        EncoderStart(context_);
        const std::size_t rowBytes = static_cast<std::size_t>(context_->inputRowLength);
        for (int y = 0; y < context_->height; ++y) {
            std::copy(pixels.begin() + static_cast<std::ptrdiff_t>(y * rowBytes),
                      pixels.begin() + static_cast<std::ptrdiff_t>((y + 1) * rowBytes), context_->inputRow);
            const int32_t answer = EncoderWriteRow(context_);
            if (y == 0 && afterFirstRow_) afterFirstRow_(context_);
            EXPECT_EQ(answer, y + 1 == context_->height ? -1 : 0) << "row " << y;
        }
        return 0;
    }

    // The payload of the first segment with this marker code.
    std::vector<uint8_t> Segment(int code) const {
        for (std::size_t i = 2; i + 4 <= stream_.size();) {
            if (stream_[i] != 0xFF) break;
            const int marker = stream_[i + 1];
            const std::size_t length = (stream_[i + 2] << 8) | stream_[i + 3];
            if (marker == code) return {stream_.begin() + static_cast<std::ptrdiff_t>(i + 4),
                                        stream_.begin() + static_cast<std::ptrdiff_t>(i + 2 + length)};
            i += 2 + length;
            if (marker == 0xDA) break;
        }
        return {};
    }

    // Decodes the stream with this codec's own decoder.
    std::vector<std::vector<uint8_t>> Decode() {
        DecoderHarness harness(stream_);
        std::vector<std::vector<uint8_t>> rows;
        EXPECT_EQ(harness.Header(), 0);
        EXPECT_EQ(harness.Rows(&rows), 0);
        return rows;
    }

    int Count(uint8_t code) const {
        int count = 0;
        for (std::size_t i = 0; i + 1 < stream_.size(); ++i) count += stream_[i] == 0xFF && stream_[i + 1] == code;
        return count;
    }

    CodecContext* context_ = nullptr;
    std::vector<uint8_t> stream_;
    std::function<void(CodecContext*)> afterFirstRow_;  // changes the context once the headers are out
};

std::vector<uint8_t> Gradient(int width, int height, int colours) {
    std::vector<uint8_t> pixels(static_cast<std::size_t>(width * height * colours));
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            for (int c = 0; c < colours; ++c) {
                pixels[static_cast<std::size_t>((y * width + x) * colours + c)] =
                    static_cast<uint8_t>((x * 7 + y * 3 + c * 60 + (x * y) % 23) & 0xFF);
            }
        }
    }
    return pixels;
}

TEST_F(EncoderStreamTest, RestartMarkersWrapAfterSeven) {
    ASSERT_EQ(Encode(Gradient(16 * 10, 16, 3), 5, 16 * 10, 16, 3, 1), 0);  // ten MCUs
    std::vector<int> markers;
    for (std::size_t i = 0; i + 1 < stream_.size(); ++i) {
        if (stream_[i] == 0xFF && stream_[i + 1] >= 0xD0 && stream_[i + 1] <= 0xD7) markers.push_back(stream_[i + 1] - 0xD0);
    }
    EXPECT_EQ(markers, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 0}));
    EXPECT_EQ(Segment(0xDD), (std::vector<uint8_t>{0, 1}));
    DecoderHarness harness(stream_);
    ASSERT_EQ(harness.Header(), 0);
    std::vector<std::vector<uint8_t>> rows;
    EXPECT_EQ(harness.Rows(&rows), 0);
}

// A picture with detail at every frequency, so that refinement scans have corrections to send.
std::vector<uint8_t> Busy(int width, int height, int colours) {
    std::vector<uint8_t> pixels(static_cast<std::size_t>(width * height * colours));
    uint32_t state = 12345;
    for (std::size_t i = 0; i < pixels.size(); ++i) {
        state = state * 1103515245u + 12345u;
        const int x = static_cast<int>(i / colours) % width;
        const int y = static_cast<int>(i / colours) / width;
        pixels[i] = static_cast<uint8_t>(((x * 5) ^ (y * 3)) + ((state >> 16) & 31));
    }
    return pixels;
}

TEST_F(EncoderStreamTest, EveryFormatAndScriptCodesTheSameCoefficients) {
    for (int colours : {1, 3}) {
        const std::vector<uint8_t> pixels = Busy(53, 41, colours);
        ASSERT_EQ(Encode(pixels, 8, 53, 41, colours), 0);
        const auto baseline = Decode();
        const std::size_t baselineSize = stream_.size();
        ASSERT_EQ(Encode(pixels, 8, 53, 41, colours, 0, 1), 0);
        EXPECT_EQ(Decode(), baseline) << colours << " colours, optimised";
        EXPECT_LT(stream_.size(), baselineSize) << "optimal tables are smaller";
        const int scans[2][4] = {{3, 4, 6, 5}, {7, 10, 14, 13}};
        for (int script = 1; script <= 4; ++script) {
            ASSERT_EQ(Encode(pixels, 8, 53, 41, colours, 0, 2, script), 0);
            EXPECT_EQ(Decode(), baseline) << colours << " colours, script " << script;
            EXPECT_EQ(Count(0xDA), scans[colours == 3][script - 1]) << colours << " colours, script " << script;
            EXPECT_EQ(Count(0xC2), 1);
            EXPECT_EQ(Count(0xC4), 1) << "one DHT with every table";
        }
    }
}

TEST_F(EncoderStreamTest, BaselineRowsThatOverflowTheSinkBufferCodeTheSameCoefficients) {
    // Fine detail at the best quality: an MCU row gives more than the sink's buffer holds, so the
    // buffer is written out between the batches of blocks coded straight into it.
    for (int colours : {1, 3}) {
        for (int restartInterval : {0, 7}) {
            const std::vector<uint8_t> pixels = Busy(1200, 64, colours);
            ASSERT_EQ(Encode(pixels, 10, 1200, 64, colours, restartInterval), 0);
            ASSERT_GT(stream_.size(), 2u * 32768) << colours << " colours";
            const auto baseline = Decode();
            ASSERT_EQ(Encode(pixels, 10, 1200, 64, colours, restartInterval, 1), 0);
            EXPECT_EQ(Decode(), baseline) << colours << " colours, restart interval " << restartInterval;
        }
    }
}

TEST_F(EncoderStreamTest, ASymbolWithoutACodeEndsTheBaselineWrite) {
    // The tables are made incomplete after they are written: a DC category, then each AC size in
    // turn, loses its code. Rows coded straight into the sink's buffer must raise, whichever code
    // comes first in the word being filled.
    const std::vector<uint8_t> pixels = Busy(256, 32, 3);
    ASSERT_EQ(Encode(pixels, 10, 256, 32, 3), 0);
    for (int lost = 0; lost <= 10; ++lost) {
        afterFirstRow_ = [lost](CodecContext* context) {
            if (lost == 0) {
                for (int size = 0; size < 12; ++size) context->dcCodes[0].length[size] = kNoCodeLength;
            } else {
                for (int run = 0; run < 16; ++run) context->acCodes[0].length[lost * 16 + run] = kNoCodeLength;
            }
        };
        EXPECT_EQ(Encode(pixels, 10, 256, 32, 3), categoryMissingCode) << "size " << lost;
        EXPECT_EQ(Encode(pixels, 10, 256, 32, 3, 3), categoryMissingCode) << "size " << lost << ", restarts";
    }
    afterFirstRow_ = nullptr;
}

TEST_F(EncoderStreamTest, LongEmptyBandsAreSplitIntoRunsThatFit) {
    // 40960 flat blocks: every AC band is one end-of-band run longer than a run can be (32767), and
    // the runs need all 15 bits of their length.
    const int width = 2048;
    const int height = 1280;
    std::vector<uint8_t> flat(static_cast<std::size_t>(width * height), 90);
    ASSERT_EQ(Encode(flat, 10, width, height, 1, 0, 2, 4), 0);
    const auto rows = Decode();
    ASSERT_EQ(rows.size(), static_cast<std::size_t>(height));
    for (const auto& row : rows) ASSERT_EQ(row, std::vector<uint8_t>(width, 90));
}

}  // namespace
