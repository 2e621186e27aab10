// The forward DCT and quantisation: the scale table, the transform against a double-precision DCT and
// on hand-checked blocks in both sample widths, thresholds and divisors, significance and rounding.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "codec/codec_context.h"
#include "codec/encoder/forward_path.h"
#include "codec/simd.h"

using namespace kv::codec;

namespace {

// Zig-zag position -> natural index.
const int kZigZag[64] = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48,
    41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23,
    30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63,
};

const double kPi = std::acos(-1.0);

double Aan(int k) { return k == 0 || k == 4 ? 1.0 : std::sqrt(2.0) * std::cos(k * kPi / 16); }

// 2^18 x a(u) x a(v) rounded, with the one exception at (6, 5).
int64_t ExpectedScale(int natural) {
    if (natural == 6 * 8 + 5) return 111467;
    return std::llround(262144.0 * Aan(natural / 8) * Aan(natural % 8));
}

TEST(AanScaleTable, RoundedProductsWithTheOneException) {
    const uint32_t row0[8] = {262144, 363604, 342508, 308249, 262144, 205965, 141871, 72325};
    for (int v = 0; v < 8; ++v) EXPECT_EQ(AanScaleTable[v], row0[v]);
    for (int n = 0; n < 64; ++n) EXPECT_EQ(AanScaleTable[n], ExpectedScale(n)) << n;
    EXPECT_EQ(std::llround(262144.0 * Aan(6) * Aan(5)), 111468);  // rounding alone gives 111468
    EXPECT_EQ(AanScaleTable[53], 111467u);
    EXPECT_EQ(AanScaleTable[46], 111468u);
}

// An 8x8 block inside a larger buffer filled with junk, at row 2, cell 3, in either sample width.
struct Block {
    bool wide;
    std::vector<uint8_t> bytes;
    ComponentInfo component{};

    explicit Block(bool isWide) : wide(isWide), bytes(12 * 26, 0x5A) {
        component.rowWidth = wide ? 26 : 13;
        component.wideSamples = wide;
    }
    uint8_t* First() { return bytes.data() + 2 * component.rowWidth + (wide ? 6 : 3); }
    // Sets a sample given in 8-bit units (x 256 in 16-bit cells).
    void Set(int row, int column, int value) {
        uint8_t* at = First() + row * component.rowWidth;
        if (!wide) {
            at[column] = static_cast<uint8_t>(value);
        } else {
            const uint16_t cell = static_cast<uint16_t>(value);
            std::memcpy(at + 2 * column, &cell, 2);
        }
    }
    std::array<int32_t, 64> Transform() {
        static CodecContext context{};
        std::array<int32_t, 64> out{};
        ForwardDct(&context, out.data(), First(), &component);
        return out;
    }
};

// The level-shifted DCT of the JPEG definition, in double precision, of samples in 8-bit units.
std::array<double, 64> ReferenceDct(const double samples[64]) {
    std::array<double, 64> out{};
    for (int u = 0; u < 8; ++u) {
        for (int v = 0; v < 8; ++v) {
            double sum = 0;
            for (int y = 0; y < 8; ++y) {
                for (int x = 0; x < 8; ++x) {
                    sum += (samples[y * 8 + x] - 128) * std::cos((2 * y + 1) * u * kPi / 16) *
                           std::cos((2 * x + 1) * v * kPi / 16);
                }
            }
            out[u * 8 + v] = 0.25 * (u == 0 ? std::sqrt(0.5) : 1) * (v == 0 ? std::sqrt(0.5) : 1) * sum;
        }
    }
    return out;
}

// Scaled back by 2^19 x a(u) x a(v), every output lies within a thousandth of the block's largest
// coefficient of the exact DCT: the rotations' fixed-point factors are good to about 1e-4 each, and
// their errors spread over the coefficients that share them.
TEST(ForwardDct, CloseToTheDoublePrecisionDct) {
    std::mt19937 random(5);
    for (bool wide : {false, true}) {
        Block block(wide);
        double worst = 0;
        for (int round = 0; round < 300; ++round) {
            double samples[64];
            const bool smooth = round % 2 == 0;  // smooth ramps as well as noise
            const int base = static_cast<int>(random() % 256), slope = static_cast<int>(random() % 9) - 4;
            for (int i = 0; i < 64; ++i) {
                int value = wide ? static_cast<int>(random() % 65281) : static_cast<int>(random() % 256);
                if (smooth) value = std::clamp(base + slope * (i / 8 + i % 8), 0, 255) * (wide ? 256 : 1);
                block.Set(i / 8, i % 8, value);
                samples[i] = wide ? value / 256.0 : value;
            }
            const std::array<double, 64> expected = ReferenceDct(samples);
            const std::array<int32_t, 64> got = block.Transform();
            double largest = 1;
            for (int n = 0; n < 64; ++n) largest = std::max(largest, std::fabs(expected[n]));
            for (int n = 0; n < 64; ++n) {
                const double scaled = got[n] / (524288.0 * Aan(n / 8) * Aan(n % 8));
                worst = std::max(worst, std::fabs(scaled - expected[n]) / largest);
            }
        }
        EXPECT_LT(worst, 1e-3) << (wide ? "16-bit" : "8-bit");
    }
}

// Worked by hand through the steps: flat blocks give only a DC; a ramp 0..7 along the rows gives the
// first row below, and the same ramp down the columns (shift-and-add column pass) gives exactly the
// same values in the first column.
TEST(ForwardDct, HandCheckedBlocksAreExact) {
    const int32_t ramp[8] = {-522190848, -13251072, 0, -1174784, 0, -234240, 0, -19968};
    for (bool wide : {false, true}) {
        SCOPED_TRACE(wide ? "16-bit" : "8-bit");
        const int unit = wide ? 256 : 1;
        Block block(wide);
        const struct { int value; int32_t dc; } flats[] = {{0, -536870912}, {128, 0}, {255, 532676608}};
        for (const auto& flat : flats) {
            for (int i = 0; i < 64; ++i) block.Set(i / 8, i % 8, flat.value * unit);
            const std::array<int32_t, 64> out = block.Transform();
            EXPECT_EQ(out[0], flat.dc) << flat.value;
            for (int n = 1; n < 64; ++n) EXPECT_EQ(out[n], 0) << flat.value << " at " << n;
        }
        for (int across = 0; across < 2; ++across) {
            for (int i = 0; i < 64; ++i) block.Set(i / 8, i % 8, (across ? i % 8 : i / 8) * unit);
            const std::array<int32_t, 64> out = block.Transform();
            for (int n = 0; n < 64; ++n) {
                const int frequency = across ? n % 8 : n / 8, other = across ? n / 8 : n % 8;
                EXPECT_EQ(out[n], other == 0 ? ramp[frequency] : 0) << "across " << across << " at " << n;
            }
        }
    }
}

// Hand-made thresholds (1000) and divisors (600) everywhere, so the expected results are plain
// arithmetic: significant from |c| >= 1000 (c = -1000 excepted), q = c / 1200 rounded half away from 0.
struct QuantCase {
    int k;
    int32_t value;
    int expected;
    int last;
};

TEST(QuantiseBlock, SignificanceAndRounding) {
    const QuantCase cases[] = {
        {0, 600, 1, 0},    {0, 599, 0, 0},     {0, -600, -1, 0},   {0, -599, 0, 0},   {0, 3000, 3, 0},
        {0, -3000, -3, 0}, {0, 0, 0, 0},       {5, -1000, 0, 0},   {5, 1000, 1, 5},   {5, 999, 0, 0},
        {5, -1001, -1, 5}, {63, 1800, 2, 63},  {63, 1799, 1, 63},  {63, -1800, -2, 63}, {63, -1799, -1, 63},
        {2, 2400000, 2000, 2},  {2, -2400000, -2000, 2},
    };
    CodecContext context{};
    uint32_t thresholds[64], divisors[64];
    for (int k = 0; k < 64; ++k) thresholds[k] = 1000, divisors[k] = 600;
    context.thresholds[1] = thresholds;
    context.divisors[1] = divisors;
    PrepareReciprocals(&context, 1);
    for (const QuantCase& test : cases) {
        int32_t dct[64] = {};
        dct[kZigZag[test.k]] = test.value;
        int16_t coefficients[64];
        std::memset(coefficients, 0x77, sizeof coefficients);
        const int last = QuantiseBlock(&context, dct, coefficients, 1);
        SCOPED_TRACE(testing::Message() << "k " << test.k << " value " << test.value);
        EXPECT_EQ(last, test.last);
        for (int k = 0; k < 64; ++k) EXPECT_EQ(coefficients[k], k == test.k ? static_cast<int16_t>(test.expected) : 0) << k;
    }
    // Insignificant coefficients before the last significant one are zero too.
    int32_t dct[64] = {};
    dct[kZigZag[3]] = 5000, dct[kZigZag[10]] = 900, dct[kZigZag[20]] = -1500;
    int16_t coefficients[64];
    EXPECT_EQ(QuantiseBlock(&context, dct, coefficients, 1), 20);
    EXPECT_EQ(coefficients[3], 4);
    EXPECT_EQ(coefficients[10], 0);
    EXPECT_EQ(coefficients[20], -1);
}

// Quality 2's last luma entry: encoding quantiser 85, stored 64. A coefficient just below 85 / 2 in
// the standard's units becomes zero; from 85 / 2 on it is quantised by 64.
TEST(QuantiseBlock, ReducedQuantiserWorkedExample) {
    CodecContext context{};
    uint32_t thresholds[64], divisors[64];
    context.quantTableCount = 1;
    context.thresholds[0] = thresholds;
    context.divisors[0] = divisors;
    for (int k = 0; k < 64; ++k) context.encodingQuant[0][k] = 1, context.quant[0].entries[k] = 1;
    context.encodingQuant[0][63] = 85;
    context.quant[0].entries[63] = 64;
    PrepareDivisors(&context);
    int32_t dct[64] = {};
    int16_t coefficients[64];
    dct[63] = 85 * 19955 - 1;  // F just below 42.5 (the DCT carries 2 x 19955 per unit at (7, 7))
    EXPECT_EQ(QuantiseBlock(&context, dct, coefficients, 0), 0);
    dct[63] = 85 * 19955;
    EXPECT_EQ(QuantiseBlock(&context, dct, coefficients, 0), 63);
    EXPECT_EQ(coefficients[63], 1);
}

TEST(QuantiseBlock, Mid128BlockIsAllZero) {
    for (bool wide : {false, true}) {
        Block block(wide);
        for (int i = 0; i < 64; ++i) block.Set(i / 8, i % 8, wide ? 32768 : 128);
        const std::array<int32_t, 64> dct = block.Transform();
        CodecContext context{};
        uint32_t thresholds[64], divisors[64];
        context.quantTableCount = 1;
        context.thresholds[0] = thresholds;
        context.divisors[0] = divisors;
        for (int k = 0; k < 64; ++k) context.encodingQuant[0][k] = 1, context.quant[0].entries[k] = 1;
        PrepareDivisors(&context);
        int16_t coefficients[64];
        EXPECT_EQ(dct[0], 0);
        EXPECT_EQ(QuantiseBlock(&context, dct.data(), coefficients, 0), 0);
        for (int k = 0; k < 64; ++k) EXPECT_EQ(coefficients[k], 0) << k;
    }
}

}  // namespace

// ---- The vector forms (SSE2 on x86) against the portable ones ----

// Transforms the block by ForwardDct and by ForwardDctPortable; both must give the same 64 values and
// write nothing past them.
void ExpectSameTransform(Block& block, const char* what, int index) {
    int32_t vector[66], portable[66];
    std::fill(std::begin(vector), std::end(vector), 0x13572468);
    std::fill(std::begin(portable), std::end(portable), 0x13572468);
    ForwardDct(nullptr, vector, block.First(), &block.component);
    ForwardDctPortable(nullptr, portable, block.First(), &block.component);
    for (int n = 0; n < 64; ++n) {
        ASSERT_EQ(vector[n], portable[n]) << what << " " << index << " at " << n << (block.wide ? " (16-bit)" : " (8-bit)");
    }
    ASSERT_EQ(vector[64], 0x13572468);
    ASSERT_EQ(vector[65], 0x13572468);
}

// Every sample value at every position: block `shift` holds (position x step + shift) mod the value
// count, so that over all blocks each position takes each value once.
TEST(ForwardDct, VectorFormMatchesPortableForEverySampleValueEverywhere) {
    for (bool wide : {false, true}) {
        Block block(wide);
        const int values = wide ? 65536 : 256, step = wide ? 1031 : 37;
        for (int shift = 0; shift < values; ++shift) {
            for (int i = 0; i < 64; ++i) block.Set(i / 8, i % 8, (i * step + shift) % values);
            ExpectSameTransform(block, "shift", shift);
        }
    }
}

// The blocks that drive each output furthest: the largest sample where the output's basis function is
// positive and 0 elsewhere, and the reverse; with the largest value of the converter (65280) and of
// the cell (65535). Then blocks of random extremes and uniform noise.
TEST(ForwardDct, VectorFormMatchesPortableOnExtremeAndRandomBlocks) {
    std::mt19937 random(31);
    for (bool wide : {false, true}) {
        Block block(wide);
        const int largest = wide ? 65535 : 255;
        for (int top : {wide ? 65280 : 255, largest}) {
            for (int n = 0; n < 64; ++n) {
                const int u = n / 8, v = n % 8;
                for (int sign : {1, -1}) {
                    for (int i = 0; i < 64; ++i) {
                        const double basis = std::cos((2 * (i / 8) + 1) * u * kPi / 16) * std::cos((2 * (i % 8) + 1) * v * kPi / 16);
                        block.Set(i / 8, i % 8, sign * basis > 0 ? top : 0);
                    }
                    ExpectSameTransform(block, "extreme for output", n);
                }
            }
        }
        for (int round = 0; round < 4000; ++round) {
            for (int i = 0; i < 64; ++i) {
                const uint32_t bits = random();
                block.Set(i / 8, i % 8, round % 2 == 0 ? (bits & 1) * largest : static_cast<int>(bits % (largest + 1)));
            }
            ExpectSameTransform(block, "random", round);
        }
    }
}

// Runs QuantiseBlock and QuantiseBlockPortable on the same block and tables: the same L and the same 64
// coefficients, nothing written past them.
void ExpectSameQuantisation(CodecContext* context, const int32_t* dct, const char* what, int index) {
    int16_t vector[66], portable[66];
    std::fill(std::begin(vector), std::end(vector), int16_t{0x5A5A});
    std::fill(std::begin(portable), std::end(portable), int16_t{0x5A5A});
    const int vectorLast = QuantiseBlock(context, dct, vector, 1);
    const int portableLast = QuantiseBlockPortable(context, dct, portable, 1);
    ASSERT_EQ(vectorLast, portableLast) << what << " " << index;
    for (int k = 0; k < 64; ++k) ASSERT_EQ(vector[k], portable[k]) << what << " " << index << " at " << k;
    ASSERT_EQ(vector[64], 0x5A5A);
    ASSERT_EQ(vector[65], 0x5A5A);
}

// Values around the decisions for zig-zag position k: the significance bounds -t and t, and the
// rounding steps (2j + 1) x d of the quotient, for a j that keeps the value within reach of the DCT
// (|F| below 2^30) or, now and then, anywhere in 32 bits.
int32_t DecisionValue(std::mt19937& random, uint32_t threshold, uint32_t divisor) {
    const int64_t offset = static_cast<int64_t>(random() % 3) - 1;
    const int64_t sign = random() & 1 ? 1 : -1;
    int64_t value;
    switch (random() % 5) {
        case 0:
        case 1:
            value = sign * static_cast<int64_t>(threshold) + offset;
            break;
        case 2: {
            const int64_t steps = (int64_t{1} << 30) / (2 * static_cast<int64_t>(divisor));
            value = sign * (2 * static_cast<int64_t>(random() % (steps + 1)) + 1) * divisor + offset;
            break;
        }
        case 3:
            value = static_cast<int32_t>(random() % (1u << 31)) - (int32_t{1} << 30);
            break;
        default:
            value = static_cast<int32_t>(random());
    }
    return static_cast<int32_t>(std::clamp<int64_t>(value, INT32_MIN, INT32_MAX));
}

// Every stored quantiser 1..255 at every position (so with every scale of AanScaleTable), under
// thresholds from the quantiser itself up to 255 and, as tables given by a caller may have them, below
// it (0 makes every coefficient significant, even those that quantise to 0).
TEST(QuantiseBlock, VectorFormMatchesPortableForEveryQuantiser) {
    std::mt19937 random(77);
    CodecContext context{};
    uint32_t thresholds[2][64], divisors[2][64];
    context.quantTableCount = 2;
    for (int t = 0; t < 2; ++t) context.thresholds[t] = thresholds[t], context.divisors[t] = divisors[t];
    for (int stored = 1; stored <= 255; ++stored) {
        const int encodings[4] = {stored, std::min(255, stored * 4 / 3 + 1), 255, static_cast<int>(random() % stored)};
        for (int encoding : encodings) {
            for (int k = 0; k < 64; ++k) {
                context.encodingQuant[1][k] = static_cast<uint8_t>(encoding);
                context.quant[1].entries[k] = static_cast<uint16_t>(stored);
            }
            PrepareDivisors(&context);
            for (int round = 0; round < 6; ++round) {
                int32_t dct[64];
                for (int n = 0; n < 64; ++n) {
                    // Natural position n is zig-zag position k: find it for the decisions.
                    int k = 0;
                    while (kZigZag[k] != n) ++k;
                    dct[n] = round == 0 ? 0 : DecisionValue(random, thresholds[1][n], divisors[1][k]);
                }
                // L = 63 (thresholds are kept in natural order, divisors in zig-zag order)
                if (round == 1) dct[kZigZag[63]] = static_cast<int32_t>(thresholds[1][kZigZag[63]]);
                ExpectSameQuantisation(&context, dct, "stored quantiser", stored);
            }
        }
    }
}

// Tables of any 32-bit values (thresholds whose doubles wrap, divisors up to the 2^30 limit) and
// values anywhere in 32 bits, and sparse blocks whose last significant position is each of 0..63.
TEST(QuantiseBlock, VectorFormMatchesPortableOnAnyTablesAndSparseBlocks) {
    std::mt19937 random(78);
    CodecContext context{};
    uint32_t thresholds[64], divisors[64];
    context.thresholds[1] = thresholds;
    context.divisors[1] = divisors;
    for (int round = 0; round < 3000; ++round) {
        for (int k = 0; k < 64; ++k) {
            thresholds[k] = round % 3 == 0 ? static_cast<uint32_t>(random()) : static_cast<uint32_t>(random() % (1u << 28));
            divisors[k] = 1 + static_cast<uint32_t>(random() % (1u << 30));
        }
        PrepareReciprocals(&context, 1);
        int32_t dct[64];
        for (int n = 0; n < 64; ++n) dct[n] = static_cast<int32_t>(random());
        ExpectSameQuantisation(&context, dct, "any tables", round);
        // Only zig-zag positions 0..last may be significant, last itself for sure.
        const int last = round % 64;
        for (int k = 0; k < 64; ++k) {
            const int n = kZigZag[k];
            thresholds[n] = 1000 + static_cast<uint32_t>(random() % 100000);
            divisors[k] = 1 + thresholds[n] / (1 + random() % 3);
            const int32_t t = static_cast<int32_t>(thresholds[n]);
            dct[n] = k > last ? static_cast<int32_t>(random() % (2 * t)) - t
                              : (k == last ? (random() & 1 ? t : -t - 1) : DecisionValue(random, thresholds[n], divisors[k]));
        }
        PrepareReciprocals(&context, 1);
        ExpectSameQuantisation(&context, dct, "sparse block ending at", last);
        int16_t coefficients[64];
        ASSERT_EQ(QuantiseBlock(&context, dct, coefficients, 1), last);
    }
}

// The transform and quantisation in one, as the encoder's rows run it (AVX2 for 8.8 samples where the
// processor has it), against the portable pair, on random and extreme blocks in both sample widths under random tables of either
// table slot.
TEST(TransformAndQuantise, MatchesThePortableTransformAndQuantisation) {
#if KV_AVX2
    // The run with KV_NO_AVX2 set (see tests/CMakeLists.txt) must take the SSE2 forms.
    if (std::getenv("KV_NO_AVX2") != nullptr) {
        ASSERT_FALSE(kv::codec::simd::HasAvx2());
    }
#endif
    std::mt19937 random(79);
    CodecContext context{};
    uint32_t thresholds[2][64], divisors[2][64];
    context.quantTableCount = 2;
    for (int t = 0; t < 2; ++t) context.thresholds[t] = thresholds[t], context.divisors[t] = divisors[t];
    for (bool wide : {false, true}) {
        Block block(wide);
        const int largest = wide ? 65535 : 255;
        for (int round = 0; round < 4000; ++round) {
            const int table = round % 2;
            block.component.quantTable = static_cast<uint8_t>(table);
            if (round % 50 < 2) {
                // Every quantiser from 1 up to a random top, encoding quantisers at or above them.
                const int top = 1 + static_cast<int>(random() % 255);
                for (int k = 0; k < 64; ++k) {
                    const int stored = 1 + static_cast<int>(random() % top);
                    context.quant[table].entries[k] = static_cast<uint16_t>(stored);
                    context.encodingQuant[table][k] = static_cast<uint8_t>(std::min(255, stored + static_cast<int>(random() % 4)));
                }
                PrepareDivisors(&context);
            }
            for (int i = 0; i < 64; ++i) {
                const uint32_t bits = random();
                const int smooth = (i / 8 + i % 8) * largest / 14;
                block.Set(i / 8, i % 8, round % 3 == 0 ? (bits & 1) * largest
                                        : round % 3 == 1 ? static_cast<int>(bits % (largest + 1))
                                                         : std::min(largest, smooth + static_cast<int>(bits % 8)));
            }
            // The fused form on a block of junk: DC and the cells it calls nonzero must be the portable
            // ones, and those must be all the nonzero AC cells.
            int16_t fused[64], portable[64];
            std::fill(std::begin(fused), std::end(fused), int16_t{0x5A5A});
            int32_t dct[64];
            const QuantisedBlock got = TransformAndQuantiseFor(&block.component)(&context, fused, block.First(), &block.component);
            ForwardDctPortable(&context, dct, block.First(), &block.component);
            const int portableLast = QuantiseBlockPortable(&context, dct, portable, table);
            ASSERT_EQ(got.last, portableLast) << "round " << round << (wide ? " (16-bit)" : " (8-bit)");
            ASSERT_EQ(got.nonzero, kv::codec::simd::NonzeroCells(portable, 63) & ~uint64_t{1}) << "round " << round;
            for (int k = 0; k < 64; ++k) {
                if (k == 0 || (got.nonzero >> k & 1) != 0) {
                    ASSERT_EQ(fused[k], portable[k]) << "round " << round << " at " << k;
                }
            }
        }
    }
}

// The run form, as the sequential rows call it: five blocks side by side (two pairs and one left over
// where the run goes two blocks at a time) of junk-filled outputs give each block's own answer, DC and
// nonzero cells, under fine and coarse tables (so that blocks with many significant positions,
// quantised whole, and blocks with few both occur), whose encoding quantisers are at or above the
// stored ones as the encoder's are (so that values below the threshold may not quantise to 0).
TEST(TransformAndQuantise, RunFormMatchesTheBlockForm) {
    std::mt19937 random(80);
    CodecContext context{};
    uint32_t thresholds[64], divisors[64];
    context.quantTableCount = 1;
    context.thresholds[0] = thresholds;
    context.divisors[0] = divisors;
    for (bool wide : {false, true}) {
        const int cellBytes = wide ? 2 : 1;
        ComponentInfo component{};
        component.wideSamples = wide;
        component.rowWidth = 5 * 8 * cellBytes + 3;
        std::vector<uint8_t> samples(static_cast<std::size_t>(8 * component.rowWidth));
        for (int round = 0; round < 400; ++round) {
            for (int k = 0; k < 64; ++k) {
                const int quantiser = round % 4 < 2 ? 1 + k % 9 : 20 + static_cast<int>(random() % 200);
                context.quant[0].entries[k] = static_cast<uint16_t>(quantiser);
                context.encodingQuant[0][k] = static_cast<uint8_t>(quantiser + static_cast<int>(random() % 4) * (round % 3));
            }
            PrepareDivisors(&context);
            NaturalDivisors natural;
            PrepareNaturalDivisors(&context, 0, &natural);
            for (uint8_t& sample : samples) sample = static_cast<uint8_t>(random() % (round % 2 == 0 ? 256 : 24));
            int16_t cells[5][64], one[64];
            QuantisedBlock answers[5];
            for (auto& block : cells) std::fill(std::begin(block), std::end(block), int16_t{0x5A5A});
            RunQuantiserFor(&component)(&context, &component, &natural, samples.data(), 5, cells, answers);
            for (int j = 0; j < 5; ++j) {
                const uint8_t* first = samples.data() + 8 * cellBytes * j;
                const QuantisedBlock want = TransformAndQuantiseFor(&component)(&context, one, first, &component);
                ASSERT_EQ(answers[j].nonzero, want.nonzero) << "round " << round << " block " << j;
                ASSERT_EQ(answers[j].last, want.last);
                for (int k = 0; k < 64; ++k) {
                    if (k == 0 || (want.nonzero >> k & 1) != 0) {
                        ASSERT_EQ(cells[j][k], one[k]) << "round " << round << " block " << j << " at " << k;
                    }
                }
            }
        }
    }
}

// The reciprocals replace every division the encoder's own tables can ask for (each stored quantiser
// 1..255 with each scale), for every dividend below 2^32: the quotient by reciprocal never falls as
// the dividend grows, so agreeing with the division at both sides of every step (qD - 1 and qD) and
// at the top means agreeing everywhere.
TEST(QuantiseBlock, ReciprocalsDivideExactlyForEveryDivisorOfTheTables) {
    CodecContext context{};
    uint32_t thresholds[64], divisors[64];
    context.quantTableCount = 1;
    context.thresholds[0] = thresholds;
    context.divisors[0] = divisors;
    int64_t checked = 0;
    for (int stored = 1; stored <= 255; ++stored) {
        for (int k = 0; k < 64; ++k) context.encodingQuant[0][k] = 1, context.quant[0].entries[k] = static_cast<uint16_t>(stored);
        PrepareDivisors(&context);
        for (int k = 0; k < 64; ++k) {
            const uint64_t d = 2 * uint64_t{divisors[k]};
            const uint32_t reciprocal = context.reciprocals[0][k];
            const int shift = context.reciprocalShifts[0][k];
            const auto check = [&](uint64_t n) {
                ASSERT_EQ(DivideByReciprocal(static_cast<uint32_t>(n), reciprocal, shift), n / d)
                    << "stored " << stored << " position " << k << " dividend " << n;
                ++checked;
            };
            check(0);
            check(0xFFFFFFFFu);
            for (uint64_t step = d; step <= 0xFFFFFFFFu; step += d) {
                check(step - 1);
                check(step);
                if (HasFatalFailure()) return;
            }
        }
    }
    EXPECT_GT(checked, 1000000);
}
