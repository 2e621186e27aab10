// Frames written through the dlopen'd module at every quality, in every format and scan script,
// judged by the peer codec: it decodes each file without a warning, the module's own read path
// gives its pixels within the decoder's tolerance, and the formats of one quality carry the same
// coefficients, so they decode to identical pixels. The bundled sample's sizes and PSNR per
// quality are printed as a table.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/module/peer_jpeg.h"
#include "tests/module/module_fixture.h"

namespace {

using module_testing::Compare;
using module_testing::Difference;
using module_testing::Format;
using module_testing::Picture;
using module_testing::ReadOutcome;
using module_testing::TempFolder;
using module_testing::WriteOptions;
using module_testing::WriteOutcome;
using module_testing::WriteTest;

using module_testing::FormatCase;
using module_testing::kFormats;
constexpr int kFormatCount = sizeof kFormats / sizeof kFormats[0];

// The decoder's tolerance against the peer's integer decode.
constexpr double kDecoderPsnr = 44.0;
constexpr int kDecoderMaxDifference = 8;
// However coarse the quality, the picture must still be the picture (catches swapped or lost
// channels, shifted blocks, a wrong colour transform). The sample stays above 28 dB at every
// quality; the tiny synthetic pictures are all texture and noise, and chroma subsampling costs
// them much: the peer's own 4:2:0 encodes of them reach only 17 to 22 dB at its quality 50 to 90.
constexpr double kLowestSamplePsnr = 25.0;
constexpr double kLowestSyntheticPsnr = 15.0;

struct PictureCase {
    int32_t width;   // 0: the bundled sample
    int32_t height;
};

// Pictures at the limits of what the coder meets: flat extremes, full-scale noise (the largest DC
// differences and AC values), a one-pixel checkerboard (all energy in the highest frequency) and
// hard colour stripes that chroma subsampling blurs.
Picture ExtremePicture(const std::string& kind, int32_t width, int32_t height) {
    Picture picture;
    picture.name = kind;
    picture.width = width;
    picture.height = height;
    picture.rgb.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3);
    uint32_t state = 12345;
    for (int32_t y = 0; y < height; ++y) {
        for (int32_t x = 0; x < width; ++x) {
            uint8_t* pixel = picture.rgb.data() + (static_cast<std::size_t>(y) * width + x) * 3;
            for (int c = 0; c < 3; ++c) {
                state = state * 1664525u + 1013904223u;
                uint8_t value = 0;
                if (kind == "white") value = 255;
                if (kind == "noise") value = static_cast<uint8_t>(state >> 24);
                if (kind == "checkerboard") value = ((x + y) & 1) != 0 ? 255 : 0;
                if (kind == "stripes") value = ((x / 3 + c) % 3) == 0 ? 255 : 0;
                pixel[c] = value;
            }
        }
    }
    return picture;
}

// What one quality gave in each format.
struct QualityResult {
    std::size_t bytes[kFormatCount] = {};
    double sourcePsnr = 0;  // of the baseline file decoded by the peer, against the picture
};

// Writes the picture at one quality in every format and checks each file: the peer decodes it
// without a warning, the module reads it within the decoder's tolerance of the peer, and every
// format carries baseline's quantisers and coefficients, so both decoders give baseline's pixels.
class QualityCheck : public WriteTest {
protected:
    void CheckQuality(const Picture& picture, int16_t quality, QualityResult* result) {
        peer::Coefficients firstCoefficients;
        std::vector<uint8_t> firstOurs;
        std::vector<uint8_t> firstPeer;
        for (int f = 0; f < kFormatCount; ++f) {
            const FormatCase& format = kFormats[f];
            SCOPED_TRACE(::testing::Message() << picture.name << ", quality " << quality << ", " << format.name);
            WriteOptions options = module_testing::OptionsFor(format);
            options.quality = quality;
            char name[32];
            std::snprintf(name, sizeof name, "q%d-%d.jpg", static_cast<int>(quality), f);
            const std::string path = folder_.PathOf(name);
            const WriteOutcome written = WriteJpeg(picture, path, options);
            ASSERT_EQ(written.start, resultOk);
            ASSERT_EQ(written.failure, resultOk) << "at row " << written.failedRow;
            ASSERT_EQ(written.rowsTaken, picture.height);
            ASSERT_EQ(written.finish, resultOk);
            result->bytes[f] = written.jpeg.size();

            peer::Image decoded;
            std::string error;
            ASSERT_TRUE(peer::Decode(written.jpeg, &decoded, &error)) << error;
            EXPECT_EQ(decoded.warnings, 0) << "the peer decoder warned: " << decoded.firstWarning;
            ASSERT_EQ(decoded.width, picture.width);
            ASSERT_EQ(decoded.height, picture.height);
            ASSERT_EQ(decoded.channels, 3);

            const ReadOutcome read = ReadJpeg(path);
            ASSERT_EQ(read.start, resultOk);
            ASSERT_EQ(read.failure, resultOk) << "at row " << read.failedRow;
            ASSERT_EQ(read.rowsDelivered, picture.height);
            const Difference ours = Compare(read.pixels, decoded.pixels);
            EXPECT_GE(ours.psnr, kDecoderPsnr);
            EXPECT_LE(ours.maxDifference, kDecoderMaxDifference);

            peer::Coefficients coefficients;
            ASSERT_TRUE(peer::ReadCoefficients(written.jpeg, &coefficients, &error)) << error;
            if (f == 0) {
                firstCoefficients = coefficients;
                firstOurs = read.pixels;
                firstPeer = decoded.pixels;
                result->sourcePsnr = Compare(decoded.pixels, picture.rgb).psnr;
            } else {
                EXPECT_EQ(coefficients.sampling, firstCoefficients.sampling);
                EXPECT_EQ(coefficients.quantisers, firstCoefficients.quantisers);
                EXPECT_TRUE(coefficients.values == firstCoefficients.values) << "the coefficients differ from baseline's";
                EXPECT_TRUE(read.pixels == firstOurs) << "our decode differs from baseline's";
                EXPECT_TRUE(decoded.pixels == firstPeer) << "the peer's decode differs from baseline's";
            }
        }
        // Optimal tables never cost more than the built-in ones.
        EXPECT_LE(result->bytes[1], result->bytes[0]) << picture.name << ", quality " << quality;
    }

    TempFolder folder_;
};

class EveryQualityTest : public QualityCheck, public ::testing::WithParamInterface<PictureCase> {};

TEST_P(EveryQualityTest, PeerDecodesWithoutWarningsAndOurReadMatchesAndFormatsAgree) {
    const PictureCase size = GetParam();
    const Picture picture =
        size.width == 0 ? module_testing::SamplePicture() : module_testing::SyntheticPicture(size.width, size.height);
    ASSERT_FALSE(picture.rgb.empty());
    const bool table = size.width == 0;
    if (table) {
        std::printf("\n%s %d x %d: bytes per format and PSNR of the decoded file against the source\n",
                    picture.name.c_str(), picture.width, picture.height);
        std::printf("%7s %9s %9s %9s %9s %9s %9s %10s\n", "quality", "baseline", "optimised", "prog 3", "prog 4",
                    "prog 5", "bits/px", "PSNR dB");
    }
    for (int16_t quality = 0; quality <= 10; ++quality) {
        QualityResult result;
        CheckQuality(picture, quality, &result);
        if (HasFatalFailure()) return;
        EXPECT_GE(result.sourcePsnr, table ? kLowestSamplePsnr : kLowestSyntheticPsnr) << "quality " << quality;
        if (table) {
            std::printf("%7d %9zu %9zu %9zu %9zu %9zu %9.2f %10.2f\n", quality, result.bytes[0], result.bytes[1],
                        result.bytes[2], result.bytes[3], result.bytes[4],
                        result.bytes[0] * 8.0 / (picture.width * picture.height), result.sourcePsnr);
        }
    }
    if (table) std::fflush(stdout);
}

INSTANTIATE_TEST_SUITE_P(SampleAndOddSizes, EveryQualityTest,
                         ::testing::Values(PictureCase{0, 0}, PictureCase{1, 1}, PictureCase{1, 17}, PictureCase{17, 1},
                                           PictureCase{15, 15}, PictureCase{16, 16}, PictureCase{33, 9}),
                         [](const ::testing::TestParamInfo<PictureCase>& info) {
                             if (info.param.width == 0) return std::string("sample");
                             char name[32];
                             std::snprintf(name, sizeof name, "w%dh%d", info.param.width, info.param.height);
                             return std::string(name);
                         });

using ExtremeContentTest = QualityCheck;

TEST_F(ExtremeContentTest, FlatNoiseCheckerboardAndStripesAtTheQualitiesThatChangeTheCoding) {
    // 0 (coarsest tables), 4 and 5 (subsampled, around the scale's step back), 6 (full chroma), 10.
    for (const char* kind : {"black", "white", "noise", "checkerboard", "stripes"}) {
        const Picture picture = ExtremePicture(kind, 41, 23);
        for (const int16_t quality : {0, 4, 5, 6, 10}) {
            QualityResult result;
            CheckQuality(picture, quality, &result);
            if (HasFatalFailure()) return;
        }
    }
}

}  // namespace
