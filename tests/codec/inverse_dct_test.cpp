// The dequantisation multipliers and the inverse DCT: the scale table, every reduced form of both
// implementations (the vector one InverseDct runs on x86 and the portable one) against a plain full
// transform (bit for bit, wrap-around included), worked examples, and closeness to a double-precision
// inverse DCT.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>

#include "codec/codec_context.h"
#include "codec/inverse_dct.h"

using namespace kv::codec;

namespace {

// Zig-zag position -> natural index.
const int kZigZag[64] = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48,
    41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23,
    30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63,
};

// Reference arithmetic: 64-bit sums, reduced to 32 bits (two's complement) before every shift.
int32_t Wrap(int64_t value) {
    return static_cast<int32_t>(static_cast<uint32_t>(value & 0xFFFFFFFF));
}
int64_t Shr(int64_t value, int bits) {
    return Wrap(value) >> bits;
}

// The full 8-point transform, written out plainly.
void Reference8(const int64_t x[8], int64_t y[8]) {
    const int64_t a = (x[1] + x[7]) - (x[3] + x[5]);
    const int64_t a1 = a + Shr(a, 2);
    const int64_t A = Shr(Shr(Shr(a, 4) + a1, 3) + a1, 1);
    const int64_t b = x[1] - x[7], b1 = Shr(b, 2), e = x[3] - x[5], d = b - e;
    const int64_t Ds = Shr(d - Shr(d, 6), 7) + Shr(d - Shr(d, 2), 1);
    const int64_t B = (Shr(b, 4) - Shr(b - b1, 7) + b1 + b) - Ds;
    const int64_t e1 = Shr(e, 4) + e;
    const int64_t E = Shr(Shr(Shr(e1, 2) + e, 6) + e1, 1);
    const int64_t S = (x[3] + x[5]) + (x[1] + x[7]) + B, F = Ds - E, G = A + F, L = B + A;
    const int64_t g = x[2] - x[6], g1 = g + Shr(g, 2);
    const int64_t H = Shr(Shr(Shr(g, 4) + g1, 3) + g1, 1);
    const int64_t J = x[2] + x[6] + H;
    const int64_t K0 = x[0] + x[4] + J, K1 = (x[0] - x[4]) + H, K2 = (x[0] - x[4]) - H, M = x[0] + x[4] - J;
    const int64_t out[8] = {K0 + S, K1 + L, K2 + G, M + F, M - F, K2 - G, K1 - L, K0 - S};
    for (int i = 0; i < 8; ++i) y[i] = Wrap(out[i]);
}

// Full inverse DCT of a natural-order block into 64 samples.
void ReferenceIdct(const int32_t* coefficients, bool wide, int32_t samples[64]) {
    int64_t work[64];
    for (int i = 0; i < 64; ++i) work[i] = coefficients[i];
    work[0] = Wrap(work[0] + (wide ? 0x2004000 : 0x2020000));
    for (int column = 0; column < 8; ++column) {
        int64_t x[8], y[8];
        for (int row = 0; row < 8; ++row) x[row] = work[row * 8 + column];
        Reference8(x, y);
        for (int row = 0; row < 8; ++row) work[row * 8 + column] = y[row];
    }
    const int shift = wide ? 15 : 18, top = wide ? 2047 : 255;
    for (int row = 0; row < 8; ++row) {
        int64_t y[8];
        Reference8(&work[row * 8], y);
        for (int j = 0; j < 8; ++j) samples[row * 8 + j] = std::clamp<int32_t>(Wrap(y[j]) >> shift, 0, top);
    }
}

// Output buffers wider and taller than the block, filled with junk, the block at row 2, cell 3.
constexpr int kCellsPerRow = 13;
constexpr uint16_t kJunk = 0xA5C3;
struct Canvas {
    uint16_t cells[12 * kCellsPerRow];
    bool wide;

    explicit Canvas(bool isWide) : wide(isWide) {
        for (uint16_t& cell : cells) cell = kJunk;
    }
    int32_t RowWidth() const { return kCellsPerRow * 2; }
    uint8_t* Origin() { return reinterpret_cast<uint8_t*>(cells) + 2 * RowWidth() + (wide ? 6 : 3); }
    int32_t Sample(int row, int column) {
        uint8_t* at = Origin() + row * RowWidth();
        return wide ? reinterpret_cast<uint16_t*>(at)[column] : at[column];
    }
    // Every byte outside the 8x8 square still holds junk.
    bool SurroundingsIntact() {
        const uint8_t* bytes = reinterpret_cast<const uint8_t*>(cells);
        const std::ptrdiff_t start = Origin() - bytes, width = wide ? 16 : 8;
        const uint8_t junk[2] = {static_cast<uint8_t>(kJunk & 0xFF), static_cast<uint8_t>(kJunk >> 8)};
        for (std::ptrdiff_t i = 0; i < static_cast<std::ptrdiff_t>(sizeof(cells)); ++i) {
            const std::ptrdiff_t offset = i - start, row = offset / RowWidth(), column = offset % RowWidth();
            const bool inside = offset >= 0 && row < 8 && column < width;
            if (!inside && bytes[i] != junk[i & 1]) return false;
        }
        return true;
    }
};

ComponentInfo Component(const Canvas& canvas) {
    ComponentInfo component{};
    component.rowWidth = canvas.RowWidth();
    component.wideSamples = canvas.wide ? 1 : 0;
    return component;
}

TEST(IdctScaleTable, MatchesTheScaleFactors) {
    auto s = [](int k) { return k == 0 ? 1.0 : std::sqrt(2.0) * std::cos(k * M_PI / 16); };
    for (int k = 0; k < 64; ++k) {
        const int u = kZigZag[k] / 8, v = kZigZag[k] % 8;
        EXPECT_EQ(IdctScaleTable[k], static_cast<uint32_t>(std::lround(32768 / (s(u) * s(v))))) << k;
    }
    const uint32_t first[8] = {32768, 23624, 23624, 25080, 17032, 25080, 27867, 18081};
    for (int k = 0; k < 8; ++k) EXPECT_EQ(IdctScaleTable[k], first[k]);
    EXPECT_EQ(IdctScaleTable[63], 430476u);
}

using InverseDctProc = void (*)(CodecContext* context, int32_t* block, uint8_t* output, int highestColumn,
                                int highestRow, const ComponentInfo* component);

// The implementations, each checked on its own (InverseDct takes AVX2 where the processor has it).
const struct {
    InverseDctProc run;
    const char* name;
} kImplementations[] = {{InverseDct, "InverseDct"},
                        {InverseDctWithoutAvx2, "InverseDctWithoutAvx2"},
                        {InverseDctPortable, "InverseDctPortable"}};

// Runs one implementation on a copy of the block and compares every sample with the reference.
void ExpectMatchesReference(InverseDctProc run, const int32_t* coefficients, int highestColumn, int highestRow,
                            bool wide) {
    int32_t block[65], expected[64];
    std::memcpy(block, coefficients, sizeof(int32_t) * 64);
    ReferenceIdct(coefficients, wide, expected);
    Canvas canvas(wide);
    const ComponentInfo component = Component(canvas);
    run(nullptr, block, canvas.Origin(), highestColumn, highestRow, &component);
    for (int i = 0; i < 64; ++i)
        ASSERT_EQ(canvas.Sample(i / 8, i % 8), expected[i])
            << "sample " << i << " columns 0.." << highestColumn << " rows 0.." << highestRow << " wide " << wide;
    ASSERT_TRUE(canvas.SurroundingsIntact());
}

TEST(InverseDct, EveryReducedFormMatchesTheFullTransform) {
    std::mt19937 random(2024);
    std::uniform_int_distribution<int32_t> any(INT32_MIN, INT32_MAX);
    std::uniform_int_distribution<int32_t> nearLimit(-3000, 3000);
    std::uniform_int_distribution<int32_t> level(-1024, 1023);
    std::uniform_int_distribution<int32_t> quantiser(1, 16);
    for (int highestColumn = 0; highestColumn < 8; ++highestColumn) {
        for (int highestRow = 0; highestRow < 8; ++highestRow) {
            for (int trial = 0; trial < 120; ++trial) {
                int32_t coefficients[64] = {};
                for (int row = 0; row <= highestRow; ++row) {
                    for (int column = 0; column <= highestColumn; ++column) {
                        int32_t& value = coefficients[row * 8 + column];
                        switch (trial % 4) {
                            case 0:
                                value = any(random);
                                break;
                            case 1:
                                value = nearLimit(random) + (random() & 1 ? INT32_MAX - 3000 : INT32_MIN + 3000);
                                break;
                            default:  // coefficient x multiplier, smaller towards high frequencies
                                value = (level(random) >> (row + column) / 2) * quantiser(random) * 30000;
                        }
                    }
                }
                for (const auto& implementation : kImplementations) {
                    SCOPED_TRACE(implementation.name);
                    ExpectMatchesReference(implementation.run, coefficients, highestColumn, highestRow, false);
                    ExpectMatchesReference(implementation.run, coefficients, highestColumn, highestRow, true);
                }
            }
        }
    }
}

TEST(InverseDct, StaysWithinOneOfADoublePrecisionTransform) {
    CodecContext context{};
    uint32_t multipliers[64];
    QuantTable& table = context.quant[1];
    table.multipliers = multipliers;
    for (int k = 0; k < 64; ++k) table.entries[k] = static_cast<uint16_t>(2 + kZigZag[k] / 8 + kZigZag[k] % 8);
    BuildDequantTable(&context, &table, 1);

    auto c = [](int k) { return k == 0 ? std::sqrt(0.5) : 1.0; };
    std::mt19937 random(99);
    std::normal_distribution<double> noise(0, 12);
    int worst = 0;
    for (int trial = 0; trial < 2000; ++trial) {
        // A smooth gradient plus noise, forward transformed and quantised.
        double pixels[64];
        const double base = random() % 200 + 28, slopeX = noise(random) / 3, slopeY = noise(random) / 3;
        for (int i = 0; i < 64; ++i) pixels[i] = base + slopeX * (i % 8) + slopeY * (i / 8) + noise(random) - 128;
        int32_t levels[64], block[65] = {};
        int highestColumn = 0, highestRow = 0;
        for (int k = 0; k < 64; ++k) {
            const int u = kZigZag[k] / 8, v = kZigZag[k] % 8;
            double sum = 0;
            for (int i = 0; i < 64; ++i)
                sum += pixels[i] * std::cos((2 * (i / 8) + 1) * u * M_PI / 16) *
                       std::cos((2 * (i % 8) + 1) * v * M_PI / 16);
            levels[kZigZag[k]] = static_cast<int32_t>(std::lround(sum * c(u) * c(v) / 4 / table.entries[k]));
            block[kZigZag[k]] = levels[kZigZag[k]] * static_cast<int32_t>(multipliers[k]);
            if (levels[kZigZag[k]] != 0) {
                highestColumn = std::max(highestColumn, v);
                highestRow = std::max(highestRow, u);
            }
        }
        Canvas canvas(false);
        const ComponentInfo component = Component(canvas);
        InverseDct(&context, block, canvas.Origin(), highestColumn, highestRow, &component);
        for (int i = 0; i < 64; ++i) {
            double sum = 0;
            for (int k = 0; k < 64; ++k) {
                const int u = kZigZag[k] / 8, v = kZigZag[k] % 8;
                sum += c(u) * c(v) * levels[kZigZag[k]] * table.entries[k] *
                       std::cos((2 * (i / 8) + 1) * u * M_PI / 16) * std::cos((2 * (i % 8) + 1) * v * M_PI / 16);
            }
            const int expected = std::clamp(static_cast<int>(std::lround(sum / 4 + 128)), 0, 255);
            worst = std::max(worst, std::abs(canvas.Sample(i / 8, i % 8) - expected));
        }
    }
    EXPECT_LE(worst, 1);
}

}  // namespace
