// Host memory during a read. A sequential image is decoded an MCU row at a time, so the bytes alive
// at the worst moment depend on the width alone; a progressive image is held as coefficients, one
// plane per component, and costs exactly those planes more than the same image coded sequentially.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tests/module/peer_jpeg.h"
#include "tests/module/read_fixture.h"

namespace {

using module_testing::ReadOptions;
using module_testing::ReadOutcome;
using module_testing::ReadTest;
using module_testing::TempFolder;
using module_testing::TestImage;

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

// The quantisation tables of a JPEG's DQT segments, entries in file (zig-zag) order, by number.
std::vector<std::vector<int>> QuantTables(const std::vector<uint8_t>& jpeg) {
    std::vector<std::vector<int>> tables(4);
    std::size_t at = 2;
    while (at + 4 <= jpeg.size() && jpeg[at] == 0xFF && jpeg[at + 1] != 0xDA) {
        const std::size_t length = (std::size_t{jpeg[at + 2]} << 8) | jpeg[at + 3];
        if (jpeg[at + 1] == 0xDB) {
            std::size_t p = at + 4;
            while (p < at + 2 + length) {
                const int precision = jpeg[p] >> 4;
                const int number = jpeg[p] & 3;
                ++p;
                tables[static_cast<std::size_t>(number)].clear();
                for (int k = 0; k < 64; ++k) {
                    tables[static_cast<std::size_t>(number)].push_back(precision ? (jpeg[p] << 8) | jpeg[p + 1] : jpeg[p]);
                    p += precision ? 2 : 1;
                }
            }
        }
        at += 2 + length;
    }
    return tables;
}

// A table is coarse when no entry is below this threshold at its zig-zag position; its
// coefficients are then kept in bytes.
constexpr int kCoarseThreshold[64] = {9, 8, 8, 8, 7, 8, 8, 7, 7, 8, 9, 7, 7, 7, 9, 8, 8, 7, 7, 8, 8, 8,
                                      7, 8, 7, 8, 7, 8, 8, 7, 7, 8, 8, 7, 7, 8, 7, 7, 7, 9, 7, 7, 7, 7,
                                      7, 8, 8, 7, 7, 7, 8, 7, 8, 7, 8, 7, 7, 8, 7, 7, 7, 7, 7, 7};

bool IsCoarse(const std::vector<int>& table) {
    for (std::size_t k = 0; k < 64; ++k) {
        if (table[k] < kCoarseThreshold[k]) return false;
    }
    return true;
}

struct ProgressiveCase {
    const char* name;
    int quality;
    bool coarse;  // whether every table is coarse (byte cells) or none is (16-bit cells)
};

// A 4000x3000 4:2:0 photo: planes of (MCUs across x H x 8) x (MCUs down x V x 8) coefficients per
// component, each plane N cells plus one band-end cell per block plus 14, in bytes or 16-bit cells,
// rounded up to 4 bytes.
TEST_F(ReadTest, ProgressivePeakMemoryIsTheCoefficientPlanesMore) {
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

        const std::vector<std::vector<int>> tables = QuantTables(sequential);
        ASSERT_EQ(tables[0].size(), 64u);
        ASSERT_EQ(tables[1].size(), 64u);
        ASSERT_EQ(IsCoarse(tables[0]), item.coarse);
        ASSERT_EQ(IsCoarse(tables[1]), item.coarse);

        const int64_t mcusAcross = (kWidth + 15) / 16;
        const int64_t mcusDown = (kHeight + 15) / 16;
        struct Plane {
            int h, v;
        };
        int64_t planes = 0;
        for (const Plane plane : {Plane{2, 2}, Plane{1, 1}, Plane{1, 1}}) {
            const int64_t n = (mcusAcross * plane.h * 8) * (mcusDown * plane.v * 8);
            const int64_t cells = n + n / 64 + 14;
            planes += ((item.coarse ? cells : 2 * cells) + 3) & ~int64_t{3};
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
    // which needs 16-bit cells for luma and dequantises to exactly the same coefficients.
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
    ASSERT_TRUE(IsCoarse(QuantTables(coarse)[0]));
    ASSERT_FALSE(IsCoarse(QuantTables(split)[0]));

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
