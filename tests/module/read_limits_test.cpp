// Reads that the file's own numbers would make long or large: the host's cancel check reaches into
// read start (the scans of a progressive file, a long run of bytes before a marker), the host's
// memory budget refuses a declared size before any work is done, and a failing disk at any call
// of the read ends it with the file's code. Host memory during a read: a sequential image is
// decoded an MCU row at a time, so the bytes alive at the worst moment depend on the width alone;
// a progressive image is held as coefficients, one plane per component, and costs exactly those
// planes more than the same image coded sequentially.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/module/peer_jpeg.h"
#include "tests/module/module_fixture.h"
#include "tests/support/jpeg_builder.h"

namespace {

using module_testing::ReadOptions;
using module_testing::ReadOutcome;
using module_testing::ReadTest;
using module_testing::TempFolder;
using module_testing::TestImage;
using testing_support::JpegBuilder;

// Entropy-coded bytes from bits, with 0xFF stuffed.
class BitPacker {
public:
    void Put(uint32_t bits, int count) {
        for (int i = count - 1; i >= 0; --i) {
            byte_ = (byte_ << 1) | ((bits >> i) & 1);
            if (++filled_ == 8) Flush();
        }
    }
    std::vector<uint8_t> Take() {
        while (filled_ != 0) Put(1, 1);
        return std::move(bytes_);
    }

private:
    void Flush() {
        bytes_.push_back(static_cast<uint8_t>(byte_));
        if (byte_ == 0xFF) bytes_.push_back(0);
        byte_ = 0;
        filled_ = 0;
    }
    std::vector<uint8_t> bytes_;
    uint32_t byte_ = 0;
    int filled_ = 0;
};

// A progressive grey image of width x height whose data is next to nothing but whose scans visit
// every block: a DC scan of zero differences (one bit a block), an AC first scan and then
// `refinements` AC refinement scans, each all end-of-band runs of 32767 blocks. Coarse quantisers,
// so its coefficient plane takes a byte per coefficient. `dcBytes` cuts the DC scan short.
std::vector<uint8_t> RefinementBomb(int width, int height, int refinements, std::size_t dcBytes = SIZE_MAX) {
    const int64_t blocks = int64_t{(width + 7) / 8} * ((height + 7) / 8);
    JpegBuilder builder;
    builder.Soi().Dqt(0, 16).Sof(0xC2, width, height, {{1, 1, 1, 0}});
    std::vector<uint8_t> oneCode(16, 0);
    oneCode[0] = 1;
    builder.Dht(0, 0, oneCode, {0x00}).Dht(1, 0, oneCode, {0xE0});  // DC: "0" = no difference; AC: "0" = EOB14
    builder.Sos({{1, 0, 0}}, 0, 0, 0, 1);
    std::vector<uint8_t> dc(static_cast<std::size_t>((blocks + 7) / 8), 0);
    if (dcBytes < dc.size()) {
        dc.resize(dcBytes);
        return builder.Raw(dc).Bytes();
    }
    builder.Raw(dc);
    BitPacker runs;
    for (int64_t left = blocks; left > 0; left -= 32767) runs.Put(0x3FFF, 15);  // "0" + 14 one bits
    const std::vector<uint8_t> band = runs.Take();
    builder.Sos({{1, 0, 0}}, 1, 63, 0, 1).Raw(band);
    for (int i = 0; i < refinements; ++i) builder.Sos({{1, 0, 0}}, 1, 63, 1, 0).Raw(band);
    return builder.Eoi().Bytes();
}

// The cancel check answers yes on its nth call, while read start is still decoding scans: start
// answers -128 at once, having asked exactly n times, and releases everything (the fixture checks
// the handles). 30000 x 30000 is stopped before its 914 MB plane is even asked for.
TEST_F(ReadTest, CancelReachesTheScansOfReadStart) {
    TempFolder folder;
    struct CancelCase {
        int side;
        int64_t at;
    };
    const CancelCase cases[] = {{30000, 1}, {8000, 1}, {8000, 3}, {8000, 150}};
    for (const CancelCase& item : cases) {
        SCOPED_TRACE(::testing::Message() << item.side << " x " << item.side << ", cancelled at check " << item.at);
        const std::string path = folder.Write("bomb.jpg", RefinementBomb(item.side, item.side, 50));
        ReadOptions options;
        options.cancelAtCheck = item.at;
        const ReadOutcome read = ReadJpeg(path, options);
        EXPECT_EQ(read.start, resultCancelled);
        // The exact count of checks shows they came while the scans were being decoded.
        EXPECT_EQ(read.startCancelChecks, item.at);
        EXPECT_FALSE(read.finished);
        if (item.at == 1) {
            EXPECT_LT(read.peakBytes, 1 << 20) << "the plane was allocated before the first check";
        }
    }
}

// SOI followed by a long run of bytes that are no marker: read start asks the cancel check every
// 64 KiB or so of them, and ends with -128 when it answers yes.
TEST_F(ReadTest, CancelReachesTheSearchForAMarker) {
    TempFolder folder;
    std::vector<uint8_t> bytes(16 << 20, 0);
    bytes[0] = 0xFF;
    bytes[1] = 0xD8;
    const std::string path = folder.Write("zeros.jpg", bytes);
    ReadOptions options;
    options.cancelAtCheck = 2;
    const ReadOutcome read = ReadJpeg(path, options);
    EXPECT_EQ(read.start, resultCancelled);
    EXPECT_EQ(read.startCancelChecks, 2);
    EXPECT_LT(read.fileCalls[static_cast<int>(host::FileCall::read)], 8) << "read on long after the check said stop";
    // Not cancelled, the same file is refused for what it is once its end is reached.
    EXPECT_EQ(ReadJpeg(path).start, resultCannotRead);
}

// The host's memory budget: a 229-byte file declaring 49923 x 38144 grey would need a 1.9 GB plane;
// under a 1 GB budget read start is refused at once, with almost nothing allocated.
TEST_F(ReadTest, MemoryBudgetRefusesADeclaredSizeBeforeAnyWork) {
    TempFolder folder;
    const std::vector<uint8_t> bomb = RefinementBomb(49923, 38144, 0, 91);
    ASSERT_EQ(bomb.size(), 229u);
    const std::string path = folder.Write("bomb.jpg", bomb);
    Host().LimitMemory(int64_t{1} << 30);
    const ReadOutcome read = ReadJpeg(path);
    Host().LimitMemory(0);
    EXPECT_EQ(read.start, resultOutOfMemory);
    EXPECT_GE(Host().Stats().refusedAllocations, 1);
    EXPECT_LT(read.peakBytes, 50 << 20);
}

// The failing disk fails each call the read makes on its file in turn (the file check's read and
// seek, every read of the data), once and from then on, for a baseline and a progressive file of
// several buffers: every read ends with the file's -36 and nothing left behind.
TEST_F(ReadTest, EveryFailedFileCallEndsTheReadWithIoError) {
    TempFolder folder;
    const peer::SyntheticPhoto photo(640, 480, 3);
    int64_t faulted = 0;
    for (const bool progressive : {false, true}) {
        peer::EncodeSettings settings;
        settings.progressive = progressive;
        std::vector<uint8_t> jpeg;
        std::string error;
        ASSERT_TRUE(peer::Encode(640, 480, settings, photo.Source(), &jpeg, &error)) << error;
        ASSERT_GT(jpeg.size(), 2u * 32768) << "the file should take several reads";
        const std::string path = folder.Write("disk.jpg", jpeg);
        ReadOptions options;
        options.checkFirst = true;
        options.keepPixels = false;
        const ReadOutcome clean = ReadJpeg(path, options);
        ASSERT_EQ(clean.start, resultOk);
        ASSERT_EQ(clean.failure, resultOk);
        for (int kind = 0; kind < host::kFileCallKinds; ++kind) {
            for (int64_t nth = 1; nth <= clean.fileCalls[kind]; ++nth) {
                for (const bool fromThenOn : {false, true}) {
                    SCOPED_TRACE(::testing::Message() << (progressive ? "progressive" : "baseline") << ", file call kind "
                                                      << kind << " number " << nth << (fromThenOn ? " on" : " once"));
                    options.failCall = static_cast<host::FileCall>(kind);
                    options.failCallAt = nth;
                    options.failCallFromThenOn = fromThenOn;
                    const ReadOutcome read = ReadJpeg(path, options);
                    ASSERT_GE(read.failedFileCalls, 1);
                    const int16_t answers[] = {read.check, read.prepare, read.start, read.failure};
                    int16_t answer = resultOk;
                    for (int16_t code : answers) answer = answer != resultOk ? answer : code;
                    EXPECT_EQ(answer, resultIoError);
                    ++faulted;
                }
            }
        }
    }
    RecordProperty("faultedReads", static_cast<int>(faulted));
    std::printf("reads with a failed file call: %lld\n", static_cast<long long>(faulted));
}

// Smooth grey shading with a little noise: quick to make and to decode at tens of megapixels.
void GreyRow(int width, int row, uint8_t* pixels) {
    for (int x = 0; x < width; ++x) {
        pixels[x] = static_cast<uint8_t>(((x >> 4) + (row >> 5) + ((x * 7 + row * 13) & 7)) & 0xFF);
    }
}

std::vector<uint8_t> GreyJpeg(int width, int height) {
    peer::EncodeSettings settings;
    settings.channels = 1;
    settings.quality = 75;
    std::vector<uint8_t> jpeg;
    std::string error;
    EXPECT_TRUE(peer::Encode(width, height, settings, [width](int row, uint8_t* pixels) { GreyRow(width, row, pixels); },
                             &jpeg, &error))
        << error;
    return jpeg;
}

TEST_F(ReadTest, SequentialPeakMemoryDoesNotGrowWithTheHeight) {
    TempFolder folder;
    ReadOptions large;
    large.keepPixels = false;
    const ReadOutcome small = ReadJpeg(TestImage("gen/grey.jpg"));
    const ReadOutcome shallow = ReadJpeg(folder.Write("shallow.jpg", GreyJpeg(4000, 8)), large);
    const ReadOutcome tall = ReadJpeg(folder.Write("tall.jpg", GreyJpeg(4000, 12000)), large);
    for (const ReadOutcome* read : {&small, &shallow, &tall}) {
        ASSERT_EQ(read->start, resultOk);
        ASSERT_EQ(read->failure, resultOk);
        ASSERT_EQ(read->rowsDelivered, read->rows);
    }
    std::printf("peak host bytes: 227x149 grey %lld, 4000x8 grey %lld, 4000x12000 grey %lld\n",
                static_cast<long long>(small.peakBytes), static_cast<long long>(shallow.peakBytes),
                static_cast<long long>(tall.peakBytes));
    EXPECT_EQ(tall.peakBytes, shallow.peakBytes);
    EXPECT_LT(tall.peakBytes, 1 << 20);
    EXPECT_LT(small.peakBytes, tall.peakBytes);
}

struct ProgressiveCase {
    const char* name;
    int quality;
    bool coarse;  // whether every quantiser table is coarse (byte cells) or none is (16-bit cells)
};

// A 4000x3000 4:2:0 photo: planes of (MCUs across x H x 8) x (MCUs down x V x 8) coefficients per
// component, each plane N cells plus one band-end cell per block plus 14, in bytes or 16-bit cells,
// rounded up to 4 bytes, each a block of its own with the memory service's 8-byte header.
TEST_F(ReadTest, ProgressivePeakMemoryIsTheCoefficientPlanesMore) {
    constexpr int64_t kBlockHeaderBytes = 8;
    constexpr int kWidth = 4000;
    constexpr int kHeight = 3000;
    const ProgressiveCase cases[] = {{"q90, 16-bit cells", 90, false}, {"q50, byte cells", 50, true}};
    peer::SyntheticPhoto photo(kWidth, kHeight, 3);
    TempFolder folder;
    ReadOptions large;
    large.keepPixels = false;
    for (const ProgressiveCase& item : cases) {
        SCOPED_TRACE(item.name);
        peer::EncodeSettings settings;
        settings.quality = item.quality;
        std::vector<uint8_t> sequential;
        std::vector<uint8_t> progressive;
        std::string error;
        ASSERT_TRUE(peer::Encode(kWidth, kHeight, settings, photo.Source(), &sequential, &error)) << error;
        ASSERT_TRUE(peer::Recode(sequential, {false, 0, true}, &progressive, &error)) << error;

        const int64_t mcusAcross = (kWidth + 15) / 16;
        const int64_t mcusDown = (kHeight + 15) / 16;
        struct Plane {
            int h, v;
        };
        int64_t planes = 0;
        for (const Plane plane : {Plane{2, 2}, Plane{1, 1}, Plane{1, 1}}) {
            const int64_t n = (mcusAcross * plane.h * 8) * (mcusDown * plane.v * 8);
            const int64_t cells = n + n / 64 + 14;
            planes += (((item.coarse ? cells : 2 * cells) + 3) & ~int64_t{3}) + kBlockHeaderBytes;
        }

        const ReadOutcome baseline = ReadJpeg(folder.Write("sequential.jpg", sequential), large);
        const ReadOutcome read = ReadJpeg(folder.Write("progressive.jpg", progressive), large);
        ASSERT_EQ(baseline.failure, resultOk);
        ASSERT_EQ(read.start, resultOk);
        ASSERT_EQ(read.failure, resultOk);
        EXPECT_EQ(read.rowChecksum, baseline.rowChecksum) << "the two codings decoded differently";
        std::printf("4000x3000 4:2:0 %s: sequential peak %lld bytes, progressive peak %lld bytes, planes %lld bytes\n",
                    item.name, static_cast<long long>(baseline.peakBytes), static_cast<long long>(read.peakBytes),
                    static_cast<long long>(planes));
        EXPECT_EQ(read.peakBytes - baseline.peakBytes, planes);
    }
}

TEST_F(ReadTest, ByteAndSixteenBitPlanesDecodeAlike) {
    // Every quantiser 12 (coarse: byte cells); the split copy codes DC with 6 and twice the values,
    // which needs 16-bit cells for luma (a DC quantiser below 9 is fine) and dequantises to exactly
    // the same coefficients.
    constexpr int kWidth = 640;
    constexpr int kHeight = 480;
    peer::SyntheticPhoto photo(kWidth, kHeight, 3);
    peer::EncodeSettings settings;
    settings.flatQuantiser = 12;
    settings.progressive = true;
    std::vector<uint8_t> coarse;
    std::vector<uint8_t> split;
    std::string error;
    ASSERT_TRUE(peer::Encode(kWidth, kHeight, settings, photo.Source(), &coarse, &error)) << error;
    peer::Recoding recoding;
    recoding.progressive = true;
    recoding.splitDcQuantiser = true;
    ASSERT_TRUE(peer::Recode(coarse, recoding, &split, &error)) << error;

    TempFolder folder;
    const ReadOutcome bytes = ReadJpeg(folder.Write("coarse.jpg", coarse));
    const ReadOutcome cells = ReadJpeg(folder.Write("split.jpg", split));
    ASSERT_EQ(bytes.failure, resultOk);
    ASSERT_EQ(cells.failure, resultOk);
    ASSERT_EQ(bytes.rowsDelivered, kHeight);
    EXPECT_TRUE(bytes.pixels == cells.pixels) << "the storage form changed the picture";
    // Luma's plane doubles from one byte per cell to two.
    const int64_t lumaCells = int64_t{(kWidth + 15) / 16 * 16} * ((kHeight + 15) / 16 * 16);
    const int64_t record = lumaCells + lumaCells / 64 + 14;
    const auto roundUp4 = [](int64_t n) { return (n + 3) & ~int64_t{3}; };
    EXPECT_EQ(cells.peakBytes - bytes.peakBytes, roundUp4(2 * record) - roundUp4(record));
}

}  // namespace
