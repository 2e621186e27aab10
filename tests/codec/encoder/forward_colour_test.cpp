// The encoder's colour conversion, subsampling and padding: the colour tables against their formulas
// and against real-valued colour conversion, every colour path against a plain model, the right-edge
// and bottom-edge fills, the subsampling table in both directions, the geometry and the worked
// examples of tiny images.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "codec/codec_context.h"
#include "codec/encoder/forward_path.h"
#include "codec/frame.h"

using namespace kv::codec;

namespace {

constexpr uint8_t kJunk = 0xAB;

// A frame set up as the encoder sets it: SetupFrame, edge geometry, colour tables, sample buffers
// pre-filled with junk, and an input row followed by junk where the repeated pixels go.
struct Frame {
    CodecContext context{};
    std::vector<uint8_t> buffers[4];
    std::vector<int32_t> tables;
    std::vector<uint8_t> input;

    Frame(std::vector<int> h, std::vector<int> v, int width, int height, int transform, bool wide, bool averaging) {
        const int count = static_cast<int>(h.size());
        context.width = width;
        context.height = height;
        context.componentCount = count;
        context.colourTransform = transform;
        context.preciseColour = wide;
        context.averaging = averaging;
        context.relaxedSampling = 1;
        for (int i = 0; i < count; ++i) {
            context.components[i].h = h[i];
            context.components[i].v = v[i];
        }
        SetupFrame(&context, 1);
        for (int i = 0; i < count; ++i) {
            ComponentInfo& component = context.components[i];
            buffers[i].assign(static_cast<std::size_t>((7 * component.v + context.vMax) * component.rowWidth), kJunk);
            component.samples = buffers[i].data();
            DeriveEdgeGeometry(&context, i);
        }
        tables.assign(static_cast<std::size_t>(ForwardColourTableBytes(&context)) / 4 + 1, 0);
        PlaceForwardColourTables(&context, reinterpret_cast<uint8_t*>(tables.data()));
        if (transform != 0) BuildForwardColourTables(&context);
        input.assign(static_cast<std::size_t>((width + 3) * count), kJunk);
        context.inputRow = input.data();
    }

    // Converts one row of width x colours bytes (by the vector paths where the processor has them, or
    // the portable ones); the counters then name it until Next.
    void Convert(const std::vector<uint8_t>& pixels, bool portable = false) {
        std::copy(pixels.begin(), pixels.end(), input.begin());
        if (portable) {
            ConvertInputRowPortable(&context);
        } else {
            ConvertInputRow(&context);
        }
    }
    // Moves the counters on as the encoder does after each row.
    void Next() {
        if (++context.rowInGroup == context.vMax) {
            context.rowInGroup = 0;
            context.rowGroup = (context.rowGroup + 1) % 8;
        }
    }
    int Sample(int i, int row, int column) const {
        const ComponentInfo& component = context.components[i];
        const uint8_t* at = component.samples + row * component.rowWidth;
        if (!component.wideSamples) return at[column];
        uint16_t cell;
        std::memcpy(&cell, at + 2 * column, 2);
        return cell;
    }
};

std::vector<uint8_t> RandomRow(std::mt19937& random, int bytes) {
    std::vector<uint8_t> row(static_cast<std::size_t>(bytes));
    for (uint8_t& byte : row) byte = static_cast<uint8_t>(random());
    return row;
}

TEST(ForwardColourConversion, GreyAndWhiteIn16BitMode) {
    Frame frame({1, 1, 1}, {1, 1, 1}, 256, 8, 1, true, true);
    std::vector<uint8_t> row;
    for (int v = 0; v < 256; ++v) row.insert(row.end(), {uint8_t(v), uint8_t(v), uint8_t(v)});
    frame.Convert(row);
    for (int v = 0; v < 256; ++v) {
        EXPECT_EQ(frame.Sample(1, 0, v), 32768) << v;
        EXPECT_EQ(frame.Sample(2, 0, v), v == 128 ? 32769 : 32768) << v;
    }
    EXPECT_EQ(frame.Sample(0, 0, 255), 65280);
}

TEST(ForwardColourConversion, OddWidthPairsTheLastPixelWithItsCopy) {
    Frame frame({2, 1, 1}, {1, 1, 1}, 5, 8, 1, true, true);
    const std::vector<uint8_t> row = {10, 20, 30, 40, 50, 60, 70, 80, 90, 100, 110, 120, 201, 10, 30};
    frame.Convert(row);
    // (201, 10, 30) paired with itself through the pair-sum tables: Y 17764, Cb 27077, Cr 56800 (as
    // 16-bit samples). Converted alone through the single-pixel tables, Cb would be 27078.
    EXPECT_EQ(frame.Sample(1, 0, 2), 27077);
    EXPECT_EQ(frame.Sample(2, 0, 2), 56800);
    EXPECT_EQ(frame.Sample(0, 0, 4), 17764);
    EXPECT_EQ(frame.Sample(0, 0, 5), frame.Sample(0, 0, 2));  // n = 5: a b c d e c b a
}

// The 16-bit form's conversions with a chroma pair per pixel and per averaged pair, which go 16 to 64
// pixels at a time where the processor allows (averaging the chroma of a group's second row into
// its first as they go), against the portable conversion: the rows that blocks are taken from
// alike after an MCU row of random rows, at widths on and beside the vector steps, with Vmax 1 and 2.
TEST(ForwardColourConversion, VectorPathsMatchThePortableOnes) {
    std::mt19937 random(15);
    for (const int width : {1, 7, 31, 32, 33, 63, 64, 65, 250}) {
        for (const int lumaH : {1, 2}) {
            for (const int lumaV : {1, 2}) {
                Frame vector({lumaH, 1, 1}, {lumaV, 1, 1}, width, 16, 1, true, true);
                Frame portable({lumaH, 1, 1}, {lumaV, 1, 1}, width, 16, 1, true, true);
                for (int row = 0; row < 8 * lumaV; ++row) {
                    const std::vector<uint8_t> pixels = RandomRow(random, 3 * width);
                    vector.Convert(pixels);
                    portable.Convert(pixels, true);
                    vector.Next();
                    portable.Next();
                }
                for (int i = 0; i < 3; ++i) {
                    const auto used = static_cast<std::ptrdiff_t>(8 * vector.context.components[i].v *
                                                                  vector.context.components[i].rowWidth);
                    ASSERT_TRUE(std::equal(vector.buffers[i].begin(), vector.buffers[i].begin() + used,
                                           portable.buffers[i].begin()))
                        << "width " << width << " H " << lumaH << " V " << lumaV << " component " << i;
                }
            }
        }
    }
}

// The vector conversion against the tables for every colour (4096 rows of 4096 pixels, one pixel per
// 24-bit value) and, with pairs, for every pair sum of every channel, split two ways.
TEST(ForwardColourConversion, VectorPathsMatchTheTablesForEveryColourAndPairSum) {
    constexpr int kWidth = 4096;
    Frame vector({1, 1, 1}, {1, 1, 1}, kWidth, kWidth, 1, true, true);
    Frame portable({1, 1, 1}, {1, 1, 1}, kWidth, kWidth, 1, true, true);
    std::vector<uint8_t> pixels(3 * kWidth);
    for (int row = 0; row < kWidth; ++row) {
        for (int x = 0; x < kWidth; ++x) {
            const int colour = row * kWidth + x;
            for (int c = 0; c < 3; ++c) pixels[3 * x + c] = static_cast<uint8_t>(colour >> (8 * c));
        }
        vector.Convert(pixels);
        portable.Convert(pixels, true);
        vector.Next();
        portable.Next();
        if (row % 8 != 7) continue;
        for (int i = 0; i < 3; ++i) ASSERT_EQ(vector.buffers[i], portable.buffers[i]) << "row " << row << " component " << i;
    }
    constexpr int kSums = 511;
    Frame vectorPairs({2, 1, 1}, {1, 1, 1}, 2 * kSums, 8, 1, true, true);
    Frame portablePairs({2, 1, 1}, {1, 1, 1}, 2 * kSums, 8, 1, true, true);
    for (int split = 0; split < 2; ++split) {
        std::vector<uint8_t> row(6 * kSums);
        for (int pair = 0; pair < kSums; ++pair) {
            for (int c = 0; c < 3; ++c) {
                const int sum = (pair + 170 * c) % kSums, high = std::min(sum, 255);
                row[6 * pair + c + 3 * split] = static_cast<uint8_t>(high);
                row[6 * pair + c + 3 - 3 * split] = static_cast<uint8_t>(sum - high);
            }
        }
        vectorPairs.Convert(row);
        portablePairs.Convert(row, true);
        vectorPairs.Next();
        portablePairs.Next();
    }
    for (int i = 0; i < 3; ++i) ASSERT_EQ(vectorPairs.buffers[i], portablePairs.buffers[i]) << "component " << i;
}

// The right-edge fill for 1 to 7 valid columns, exactly as tabulated: a single colour copied
// unchanged, width 8 + n, so that the second block holds the n columns a b c ... .
TEST(ForwardEdges, RightEdgeFillPattern) {
    const char* patterns[8] = {nullptr,    "aaaaaaaa", "abbaabba", "abcaacba",
                               "abcddcba", "abcdecba", "abcdefba", "abcdefga"};
    for (int n = 1; n <= 7; ++n) {
        Frame frame({1}, {1}, 8 + n, 8, 0, false, true);
        std::vector<uint8_t> row(8, 200);
        for (int x = 0; x < n; ++x) row.push_back(static_cast<uint8_t>('a' + x));
        frame.Convert(row);
        std::string got;
        for (int x = 8; x < 16; ++x) got += static_cast<char>(frame.Sample(0, 0, x));
        EXPECT_EQ(got, patterns[n]) << "n = " << n;
    }
}

struct GeometryCase {
    std::vector<int> h;
    int width, component;
    EncoderEdge expected;
};

// Hand-worked right-edge geometry, and which block columns are outside the data.
TEST(ForwardEdges, GeometryAndBlocksOutsideTheData) {
    const GeometryCase cases[] = {
        {{2, 1, 1}, 1, 0, {16, 1, 1, 0}},     // one pixel: the second luma block is outside
        {{2, 1, 1}, 1, 1, {8, 1, 1, 0}},
        {{2, 1, 1}, 17, 1, {16, 9, 1, 8}},    // ceil(17 / 2) chroma samples
        {{2, 1, 1}, 16, 1, {8, 8, 0, 0}},     // data ends on a block boundary
        {{2, 1, 1}, 40, 0, {48, 40, 0, 32}},  // the last whole block is outside
        {{4, 2, 2}, 5, 1, {16, 3, 3, 0}},     // (width + 1) / 2 for H = 2 under Hmax 4
        {{3, 1, 1}, 10, 2, {8, 4, 4, 0}},
        {{3, 2, 2}, 10, 1, {16, 8, 0, 0}},
        {{1}, 9, 0, {16, 9, 1, 8}},           // one component: width rounded up to 8
    };
    for (const GeometryCase& test : cases) {
        Frame frame(test.h, std::vector<int>(test.h.size(), 1), test.width, 8, 0, false, false);
        const EncoderEdge& edge = frame.context.edges[test.component];
        SCOPED_TRACE(testing::Message() << "width " << test.width << " component " << test.component);
        EXPECT_EQ(edge.paddedWidth, test.expected.paddedWidth);
        EXPECT_EQ(edge.dataWidth, test.expected.dataWidth);
        EXPECT_EQ(edge.validColumns, test.expected.validColumns);
        EXPECT_EQ(edge.lastBlockStart, test.expected.lastBlockStart);
        for (int block = 0; block * 8 < edge.paddedWidth; ++block) {
            EXPECT_EQ(BlockOutsideData(&frame.context, test.component, block), block * 8 > edge.lastBlockStart) << block;
        }
    }
}

struct SubsampleCase {
    int largest, own;
    bool averaging;
    std::vector<int> expected;  // from inputs 10, 13, 7, 200
};

// The subsampling table, by hand from the inputs 10, 13, 7, 200 (weights summing to a power of two, so
// adding x to every input adds x to every output). Checked vertically (rows of a component with
// V below Vmax) and horizontally (samples of a component with H below Hmax, no transform).
TEST(ForwardSubsampling, TableInBothDirections) {
    const SubsampleCase cases[] = {
        {2, 1, true, {12}},        {2, 1, false, {10}},        {3, 1, true, {11}},
        {3, 1, false, {13}},       {3, 2, true, {11, 9}},      {3, 2, false, {10, 7}},
        {4, 1, true, {58}},        {4, 1, false, {13}},        {4, 2, true, {12, 104}},
        {4, 2, false, {10, 7}},    {4, 3, true, {10, 10, 200}}, {4, 3, false, {10, 13, 200}},
    };
    const int inputs[4] = {10, 13, 7, 200};
    for (const SubsampleCase& test : cases) {
        SCOPED_TRACE(testing::Message() << test.largest << " -> " << test.own << " averaging " << test.averaging);
        Frame vertical({1, 1}, {test.largest, test.own}, 8, 64, 0, false, test.averaging);
        ASSERT_EQ(ForwardColourTableBytes(&vertical.context), 0);  // no transform, no tables
        vertical.context.rowGroup = 2;
        for (int r = 0; r < test.largest; ++r) {
            if (r > 0) vertical.Next();
            std::vector<uint8_t> row;
            for (int x = 0; x < 8; ++x) row.insert(row.end(), {0, uint8_t(inputs[r] + x)});
            vertical.Convert(row);
        }
        constexpr int kGroups = 3;
        const int width = kGroups * test.largest;
        Frame horizontal({test.largest, test.own}, {1, 1}, width, 8, 0, false, test.averaging);
        std::vector<uint8_t> row;
        for (int x = 0; x < width; ++x) row.insert(row.end(), {0, uint8_t(inputs[x % test.largest] + x / test.largest)});
        horizontal.Convert(row);
        for (int j = 0; j < test.own; ++j) {
            for (int x = 0; x < 8; ++x) EXPECT_EQ(vertical.Sample(1, 2 * test.own + j, x), test.expected[j] + x);
            for (int group = 0; group < kGroups; ++group) {
                EXPECT_EQ(horizontal.Sample(1, 0, group * test.own + j), test.expected[j] + group);
            }
        }
    }
}

// A one-pixel-wide image: every block holds one valid column filled with it; with H = 2 the second
// luma block of the MCU is outside the data.
TEST(ForwardEdges, OnePixelWideImage) {
    Frame frame({2, 1, 1}, {2, 1, 1}, 1, 16, 1, true, true);
    frame.Convert({201, 10, 30});
    frame.Next();
    frame.Convert({201, 10, 30});
    // The pixel paired with itself, as in OddWidthPairsTheLastPixelWithItsCopy.
    for (int x = 0; x < 8; ++x) {
        EXPECT_EQ(frame.Sample(0, 0, x), 17764);
        EXPECT_EQ(frame.Sample(0, 1, x), 17764);
        EXPECT_EQ(frame.Sample(1, 0, x), 27077);
        EXPECT_EQ(frame.Sample(2, 0, x), 56800);
    }
    EXPECT_FALSE(BlockOutsideData(&frame.context, 0, 0));
    EXPECT_TRUE(BlockOutsideData(&frame.context, 0, 1));
    EXPECT_FALSE(BlockOutsideData(&frame.context, 1, 0));
}

// A one-row image with Vmax 2: the row is converted twice; luma holds one row, so rows 1..7 repeat it
// and rows 8..15 are 0 (the group index is the one of the last image row, not the last group); each
// chroma component holds one merged row, repeated through rows 1..7.
TEST(ForwardEdges, OneRowHighImage) {
    Frame frame({2, 1, 1}, {2, 1, 1}, 8, 1, 1, true, true);
    std::mt19937 random(3);
    const std::vector<uint8_t> row = RandomRow(random, 8 * 3);
    frame.Convert(row);
    FinishLastRows(&frame.context);
    EXPECT_EQ(frame.context.repeatedRows, 1);
    EXPECT_EQ(frame.context.rowGroup, 7);
    EXPECT_EQ(frame.context.rowInGroup, 1);
    // Row 0 as a frame of two equal rows converts it: the repeated rows must match it.
    Frame twice({2, 1, 1}, {2, 1, 1}, 8, 2, 1, true, true);
    twice.Convert(row);
    twice.Next();
    twice.Convert(row);
    for (int x = 0; x < 8; ++x) {
        for (int r = 0; r < 8; ++r) ASSERT_EQ(frame.Sample(0, r, x), twice.Sample(0, 0, x)) << r << " " << x;
        for (int r = 8; r < 16; ++r) ASSERT_EQ(frame.Sample(0, r, x), 0) << r << " " << x;
    }
    for (int i = 1; i <= 2; ++i) {
        for (int x = 0; x < 4; ++x) {
            for (int r = 0; r < 8; ++r) ASSERT_EQ(frame.Sample(i, r, x), twice.Sample(i, 0, x)) << i << " " << r << " " << x;
        }
    }
}

struct BottomCase {
    std::vector<int> v;
    int height;                       // rows fed; the last one ends the image
    int repeats;
    std::vector<std::string> blocks;  // per component, its 8 x V rows: a letter = that data row, 0 = zero
};

// Rows are fed with every sample equal to the row number + 'a' (no transform, one block wide); the
// bottom of each component's MCU row must read as listed.
TEST(ForwardEdges, BottomFillByComponent) {
    const BottomCase cases[] = {
        // Vmax 1: the last row is row 2 of the MCU row: a b c, then mirrored.
        {{1}, 3, 0, {"abcaacba"}},
        // Vmax 2, last row at row 0 of group 1: V = 2 holds 3 rows; V = 1 holds 2 merged rows, which
        // (decimating) are the first rows of their groups, a and c.
        {{2, 1}, 3, 1, {"abcaacba00000000", "accaacca"}},
        // Vmax 4, last row at row 1 of group 1: two repeats, so V = 2 holds 4 - (2 AND 2) = 2 rows (a, c
        // of group 0); e of group 1 is dropped.
        {{4, 2}, 6, 2, {"abcdefba000000000000000000000000", "accaacca00000000"}},
        // Vmax 4, last row at row 2 of group 0: one repeat, 1 AND 2 = 0, so V = 2 keeps both rows.
        {{4, 2}, 3, 1, {"abcaacba000000000000000000000000", "accaacca00000000"}},
    };
    for (const BottomCase& test : cases) {
        const int count = static_cast<int>(test.v.size());
        SCOPED_TRACE(testing::Message() << "Vmax " << test.v[0] << " height " << test.height);
        Frame frame(std::vector<int>(test.v.size(), 1), test.v, 8, test.height, 0, false, false);
        for (int r = 0; r < test.height; ++r) {
            if (r > 0) frame.Next();
            frame.Convert(std::vector<uint8_t>(static_cast<std::size_t>(8 * count), static_cast<uint8_t>('a' + r)));
        }
        FinishLastRows(&frame.context);
        EXPECT_EQ(frame.context.repeatedRows, test.repeats);
        for (int i = 0; i < count; ++i) {
            std::string got;
            for (int r = 0; r < 8 * test.v[i]; ++r) {
                const int sample = frame.Sample(i, r, 0);
                for (int x = 1; x < 8; ++x) ASSERT_EQ(frame.Sample(i, r, x), sample) << "row " << r;
                got += sample == 0 ? '0' : static_cast<char>(sample);
            }
            EXPECT_EQ(got, test.blocks[i]) << "component " << i;
        }
    }
}

}  // namespace
