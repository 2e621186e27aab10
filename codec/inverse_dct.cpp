// Dequantisation multipliers and the multiplication-free scaled inverse DCT: 64 dequantised
// coefficients (32-bit, natural order) in, an 8x8 square of 8-bit or 11-bit samples out.
#include "codec/inverse_dct.h"

#include <cstring>

#include "codec/codec_errors.h"

// Zig-zag order. Entry for natural row u, column v: 32768 / (s(u) x s(v)) rounded to the nearest
// integer, s(0) = 1, s(k) = sqrt(2) x cos(k x pi / 16); computed once in double precision.
const uint32_t IdctScaleTable[64] = {
    32768,  23624,  23624,  25080,  17032,  25080,  27867,  18081,
    18081,  27867,  32768,  20091,  19195,  20091,  32768,  41706,
    23624,  21328,  21328,  23624,  41706,  60547,  30068,  25080,
    23699,  25080,  30068,  60547, 118768,  43652,  31920,  27867,
    27867,  31920,  43652, 118768,  85627,  46341,  35468,  32768,
    35468,  46341,  85627,  90901,  51491,  41706,  41706,  51491,
    90901, 101004,  60547,  53081,  60547, 101004, 118768,  77062,
    77062, 118768, 151163, 111877, 151163, 219455, 219455, 430476,
};

void BuildDequantTable(CodecContext* context, QuantTable* table, int tableNumber) {
    static_cast<void>(context);
    static_cast<void>(tableNumber);  // the table record alone is enough
    for (int k = 0; k < 64; ++k) {
        table->multipliers[k] = static_cast<uint32_t>(table->entries[k]) * IdctScaleTable[k];
    }
}

namespace {

// Level shift and rounding folded into coefficient (0,0): for bytes 128 x 2^18 + 2^17 before the final
// shift of 18, for 11-bit samples 1024 x 2^15 + 2^14 before the final shift of 15.
constexpr uint32_t kByteBias = 0x2020000;
constexpr uint32_t kWideBias = 0x2004000;

// The transform's values travel as uint32_t so that every sum wraps around in 32 bits; this shifts one
// right as the signed value it stands for.
inline uint32_t Sar(uint32_t value, int bits) {
    return static_cast<uint32_t>(static_cast<int32_t>(value) >> bits);
}

// Input k of a transform whose inputs above Highest are known to be zero.
template <int K, int Highest, int Stride>
inline uint32_t Input(const int32_t* in) {
    if constexpr (K <= Highest) {
        return static_cast<uint32_t>(in[K * Stride]);
    } else {
        return 0;
    }
}

// One 8-point scaled inverse transform of in[0], in[Stride], ... in[7 x Stride], handing result k to
// store(k, value). The inputs above Highest are zero and are not read; the compiler drops every term
// they feed, which leaves each reduced form computing exactly what the full transform computes,
// wrap-around included. Always inlined, so that every pass is one straight run of register arithmetic.
template <int Highest, int Stride, typename Store>
[[gnu::always_inline]] inline void Transform8(const int32_t* in, Store store) {
    const uint32_t x0 = Input<0, Highest, Stride>(in);
    const uint32_t x1 = Input<1, Highest, Stride>(in);
    const uint32_t x2 = Input<2, Highest, Stride>(in);
    const uint32_t x3 = Input<3, Highest, Stride>(in);
    const uint32_t x4 = Input<4, Highest, Stride>(in);
    const uint32_t x5 = Input<5, Highest, Stride>(in);
    const uint32_t x6 = Input<6, Highest, Stride>(in);
    const uint32_t x7 = Input<7, Highest, Stride>(in);

    // Odd part. A: a x 0.70703125 (~1/sqrt(2)); B: b x 1.306640625 less Ds; Ds: d x ~0.38269;
    // E: e x ~0.54114.
    const uint32_t sum17 = x1 + x7;
    const uint32_t sum35 = x3 + x5;
    const uint32_t a = sum17 - sum35;
    const uint32_t aPlusQuarter = a + Sar(a, 2);
    const uint32_t rotA = Sar(Sar(Sar(a, 4) + aPlusQuarter, 3) + aPlusQuarter, 1);
    const uint32_t b = x1 - x7;
    const uint32_t bQuarter = Sar(b, 2);
    const uint32_t e = x3 - x5;
    const uint32_t d = b - e;
    const uint32_t rotD = Sar(d - Sar(d, 6), 7) + Sar(d - Sar(d, 2), 1);
    const uint32_t rotB = (Sar(b, 4) - Sar(b - bQuarter, 7) + bQuarter + b) - rotD;
    const uint32_t ePlusSixteenth = Sar(e, 4) + e;
    const uint32_t rotE = Sar(Sar(Sar(ePlusSixteenth, 2) + e, 6) + ePlusSixteenth, 1);
    const uint32_t oddS = sum35 + sum17 + rotB;
    const uint32_t oddF = rotD - rotE;
    const uint32_t oddG = rotA + oddF;
    const uint32_t oddL = rotB + rotA;

    // Even part. H: g x 0.70703125.
    const uint32_t g = x2 - x6;
    const uint32_t gPlusQuarter = g + Sar(g, 2);
    const uint32_t rotH = Sar(Sar(Sar(g, 4) + gPlusQuarter, 3) + gPlusQuarter, 1);
    const uint32_t evenJ = x2 + x6 + rotH;
    const uint32_t k0 = x0 + x4 + evenJ;
    const uint32_t k1 = (x0 - x4) + rotH;
    const uint32_t k2 = (x0 - x4) - rotH;
    const uint32_t m = x0 + x4 - evenJ;

    store(0, k0 + oddS);
    store(1, k1 + oddL);
    store(2, k2 + oddG);
    store(3, m + oddF);
    store(4, m - oddF);
    store(5, k2 - oddG);
    store(6, k1 - oddL);
    store(7, k0 - oddS);
}

// Column pass over the first ColumnCount columns (4 or 8), rows above HighestRow (1..7) being zero.
// Every column gets the same operations, so the compiler can run neighbouring columns side by side; a
// column right of the highest nonzero one holds zeros and stays zero.
template <int HighestRow, int ColumnCount>
void ColumnPass(int32_t* block) {
    for (int column = 0; column < ColumnCount; ++column) {
        int32_t* cell = block + column;
        Transform8<HighestRow, 8>(cell, [cell](int row, uint32_t value) {
            cell[row * 8] = static_cast<int32_t>(value);
        });
    }
}

// The final shift and sample range of one output width.
struct ByteCells {
    using Cell = uint8_t;
    static constexpr int kShift = 18;
    static constexpr int32_t kMax = 255;
};
struct WideCells {
    using Cell = uint16_t;
    static constexpr int kShift = 15;
    static constexpr int32_t kMax = 2047;
};

// Scales one transform result down to a sample, clamped to 0..max.
template <typename Width>
inline typename Width::Cell Finish(uint32_t value) {
    const int32_t sample = static_cast<int32_t>(value) >> Width::kShift;
    const int32_t clamped = sample < 0 ? 0 : (sample > Width::kMax ? Width::kMax : sample);
    return static_cast<typename Width::Cell>(clamped);
}

// Row pass over the first rowCount rows, columns above HighestColumn being zero; writes the samples.
template <int HighestColumn, typename Width>
void RowPass(const int32_t* block, uint8_t* output, int32_t rowWidth, int rowCount) {
    for (int row = 0; row < rowCount; ++row, block += 8, output += rowWidth) {
        auto* cells = reinterpret_cast<typename Width::Cell*>(output);
        if constexpr (HighestColumn == 0) {
            const typename Width::Cell sample = Finish<Width>(static_cast<uint32_t>(block[0]));
            for (int j = 0; j < 8; ++j) cells[j] = sample;
        } else {
            Transform8<HighestColumn, 1>(block, [cells](int j, uint32_t value) {
                cells[j] = Finish<Width>(value);
            });
        }
    }
}

using ColumnPassProc = void (*)(int32_t* block);
using RowPassProc = void (*)(const int32_t* block, uint8_t* output, int32_t rowWidth, int rowCount);

// Index: [highest nonzero column / 4: columns 0..3 or all 8][highest nonzero row 0..7]. Row 0 alone
// needs no column pass (see InverseDct); 6 shares the full form, as only input 7 would drop out.
const ColumnPassProc kColumnPasses[2][8] = {
    {nullptr, ColumnPass<1, 4>, ColumnPass<2, 4>, ColumnPass<3, 4>, ColumnPass<4, 4>, ColumnPass<5, 4>,
     ColumnPass<7, 4>, ColumnPass<7, 4>},
    {nullptr, ColumnPass<1, 8>, ColumnPass<2, 8>, ColumnPass<3, 8>, ColumnPass<4, 8>, ColumnPass<5, 8>,
     ColumnPass<7, 8>, ColumnPass<7, 8>},
};

// Index: [16-bit cells][highest nonzero column 0..7]; 6 shares the full form.
const RowPassProc kRowPasses[2][8] = {
    {RowPass<0, ByteCells>, RowPass<1, ByteCells>, RowPass<2, ByteCells>, RowPass<3, ByteCells>,
     RowPass<4, ByteCells>, RowPass<5, ByteCells>, RowPass<7, ByteCells>, RowPass<7, ByteCells>},
    {RowPass<0, WideCells>, RowPass<1, WideCells>, RowPass<2, WideCells>, RowPass<3, WideCells>,
     RowPass<4, WideCells>, RowPass<5, WideCells>, RowPass<7, WideCells>, RowPass<7, WideCells>},
};

}  // namespace

void InverseDct(CodecContext* context, int32_t* block, uint8_t* output, int highestColumn, int highestRow,
                const ComponentInfo* component) {
    static_cast<void>(context);
    if (static_cast<unsigned>(highestColumn | highestRow) > 7) CodecBug();
    const int wide = component->wideSamples != 0 ? 1 : 0;
    const uint32_t bias = wide ? kWideBias : kByteBias;
    block[0] = static_cast<int32_t>(static_cast<uint32_t>(block[0]) + bias);
    const int32_t rowWidth = component->rowWidth;
    const RowPassProc rowPass = kRowPasses[wide][highestColumn];
    if (highestRow == 0) {
        // The column pass would copy row 0 into every row, so the eight output rows are equal: make
        // the first and repeat it.
        rowPass(block, output, rowWidth, 1);
        const std::size_t rowBytes = wide ? 16 : 8;
        for (int row = 1; row < 8; ++row) std::memcpy(output + row * rowWidth, output, rowBytes);
        return;
    }
    kColumnPasses[highestColumn >> 2][highestRow](block);
    rowPass(block, output, rowWidth, 8);
}
