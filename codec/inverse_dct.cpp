// Dequantisation multipliers and the multiplication-free scaled inverse DCT: 64 dequantised
// coefficients (32-bit, natural order) in, an 8x8 square of 8-bit or 11-bit samples out.
//
// One 8-point transform, written once for plain 32-bit values and for four 32-bit lanes, serves two
// implementations: a portable one that transforms one column or row at a time, and on x86 (SSE2) one
// that transforms four columns or rows side by side. Where the processor has AVX2, a third form
// (written again for eight lanes) transforms a whole block's columns, then its rows, at once. All
// compute every value the same way, with the same 32-bit wrap-around, so they give the same samples.
#include "codec/inverse_dct.h"

#include <cstring>

#include "codec/codec_errors.h"
#include "codec/simd.h"

namespace kv::codec {

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

using simd::Sar;
#if KV_SSE2
using simd::Lanes;
#endif

// Level shift and rounding folded into coefficient (0,0): for bytes 128 x 2^18 + 2^17 before the final
// shift of 18, for 11-bit samples 1024 x 2^15 + 2^14 before the final shift of 15.
constexpr uint32_t kByteBias = 0x2020000;
constexpr uint32_t kWideBias = 0x2004000;

// Input k of a transform whose inputs above Highest are known to be zero: load(k), or zero.
template <int K, int Highest, typename Value, typename Load>
KV_ALWAYS_INLINE Value Input(const Load& load) {
    if constexpr (K <= Highest) {
        return load(K);
    } else {
        return Value{};
    }
}

// One 8-point scaled inverse transform of load(0) ... load(7), handing result k to store(k, value).
// Value is uint32_t (one transform) or Lanes (four transforms side by side). The inputs above Highest
// are zero and are not loaded; the compiler drops every term they feed, which leaves each reduced form
// computing exactly what the full transform computes, wrap-around included. Always inlined, so that
// every pass is one straight run of register arithmetic.
template <int Highest, typename Value, typename Load, typename Store>
KV_ALWAYS_INLINE void Transform8(const Load& load, const Store& store) {
    const Value x0 = Input<0, Highest, Value>(load);
    const Value x1 = Input<1, Highest, Value>(load);
    const Value x2 = Input<2, Highest, Value>(load);
    const Value x3 = Input<3, Highest, Value>(load);
    const Value x4 = Input<4, Highest, Value>(load);
    const Value x5 = Input<5, Highest, Value>(load);
    const Value x6 = Input<6, Highest, Value>(load);
    const Value x7 = Input<7, Highest, Value>(load);

    // Odd part. A: a x 0.70703125 (~1/sqrt(2)); B: b x 1.306640625 less Ds; Ds: d x ~0.38269;
    // E: e x ~0.54114.
    const Value sum17 = x1 + x7;
    const Value sum35 = x3 + x5;
    const Value a = sum17 - sum35;
    const Value aPlusQuarter = a + Sar<2>(a);
    const Value rotA = Sar<1>(Sar<3>(Sar<4>(a) + aPlusQuarter) + aPlusQuarter);
    const Value b = x1 - x7;
    const Value bQuarter = Sar<2>(b);
    const Value e = x3 - x5;
    const Value d = b - e;
    const Value rotD = Sar<7>(d - Sar<6>(d)) + Sar<1>(d - Sar<2>(d));
    const Value rotB = (Sar<4>(b) - Sar<7>(b - bQuarter) + bQuarter + b) - rotD;
    const Value ePlusSixteenth = Sar<4>(e) + e;
    const Value rotE = Sar<1>(Sar<6>(Sar<2>(ePlusSixteenth) + e) + ePlusSixteenth);
    const Value oddS = sum35 + sum17 + rotB;
    const Value oddF = rotD - rotE;
    const Value oddG = rotA + oddF;
    const Value oddL = rotB + rotA;

    // Even part. H: g x 0.70703125.
    const Value g = x2 - x6;
    const Value gPlusQuarter = g + Sar<2>(g);
    const Value rotH = Sar<1>(Sar<3>(Sar<4>(g) + gPlusQuarter) + gPlusQuarter);
    const Value evenJ = x2 + x6 + rotH;
    const Value k0 = x0 + x4 + evenJ;
    const Value k1 = (x0 - x4) + rotH;
    const Value k2 = (x0 - x4) - rotH;
    const Value m = x0 + x4 - evenJ;

    store(0, k0 + oddS);
    store(1, k1 + oddL);
    store(2, k2 + oddG);
    store(3, m + oddF);
    store(4, m - oddF);
    store(5, k2 - oddG);
    store(6, k1 - oddL);
    store(7, k0 - oddS);
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

// ---- One column or row at a time ----

// Column pass over the first ColumnCount columns (4 or 8), rows above HighestRow (1..7) being zero.
// A column right of the highest nonzero one holds zeros and stays zero.
template <int HighestRow, int ColumnCount>
void ColumnPass(int32_t* block) {
    for (int column = 0; column < ColumnCount; ++column) {
        int32_t* cell = block + column;
        Transform8<HighestRow, uint32_t>([cell](int row) { return static_cast<uint32_t>(cell[row * 8]); },
                                         [cell](int row, uint32_t value) {
                                             cell[row * 8] = static_cast<int32_t>(value);
                                         });
    }
}

// Row pass over the first rowCount rows, columns above HighestColumn being zero; writes the samples.
template <int HighestColumn, typename Width>
void RowPass(const int32_t* block, uint8_t* output, int32_t rowWidth, int rowCount) {
    for (int row = 0; row < rowCount; ++row, block += 8, output += rowWidth) {
        auto* cells = CellsOf<typename Width::Cell>(output);
        if constexpr (HighestColumn == 0) {
            const typename Width::Cell sample = Finish<Width>(static_cast<uint32_t>(block[0]));
            for (int j = 0; j < 8; ++j) cells[j] = sample;
        } else {
            Transform8<HighestColumn, uint32_t>([block](int j) { return static_cast<uint32_t>(block[j]); },
                                                [cells](int j, uint32_t value) { cells[j] = Finish<Width>(value); });
        }
    }
}

using ColumnPassProc = void (*)(int32_t* block);
using RowPassProc = void (*)(const int32_t* block, uint8_t* output, int32_t rowWidth, int rowCount);

// Index: [highest nonzero column / 4: columns 0..3 or all 8][highest nonzero row 0..7]. Row 0 alone
// needs no column pass (see InverseDctPortable); 6 shares the full form, as only input 7 would drop out.
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

#if KV_SSE2
// ---- Four columns or rows side by side ----

inline __m128i Load4(const int32_t* cells) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(cells));
}

// Column pass over columns 0..3, and 4..7 as well when Halves is 2, rows above HighestRow (1..7) being
// zero: each lane carries one column, each vector one row.
template <int HighestRow, int Halves>
void ColumnPassLanes(int32_t* block) {
    for (int half = 0; half < Halves; ++half) {
        int32_t* cells = block + 4 * half;
        Transform8<HighestRow, Lanes>([cells](int row) { return Lanes{Load4(cells + 8 * row)}; },
                                      [cells](int row, Lanes value) {
                                          _mm_storeu_si128(reinterpret_cast<__m128i*>(cells + 8 * row), value.v);
                                      });
    }
}

// Reads the 4x4 square at cells (rows 8 apart) with rows and columns swapped: columns[j] holds column j,
// one row per lane.
KV_ALWAYS_INLINE void Transpose4(const int32_t* cells, Lanes* columns) {
    const __m128i row0 = Load4(cells);
    const __m128i row1 = Load4(cells + 8);
    const __m128i row2 = Load4(cells + 16);
    const __m128i row3 = Load4(cells + 24);
    const __m128i low01 = _mm_unpacklo_epi32(row0, row1);   // r0c0 r1c0 r0c1 r1c1
    const __m128i low23 = _mm_unpacklo_epi32(row2, row3);   // r2c0 r3c0 r2c1 r3c1
    const __m128i high01 = _mm_unpackhi_epi32(row0, row1);  // r0c2 r1c2 r0c3 r1c3
    const __m128i high23 = _mm_unpackhi_epi32(row2, row3);  // r2c2 r3c2 r2c3 r3c3
    columns[0].v = _mm_unpacklo_epi64(low01, low23);
    columns[1].v = _mm_unpackhi_epi64(low01, low23);
    columns[2].v = _mm_unpacklo_epi64(high01, high23);
    columns[3].v = _mm_unpackhi_epi64(high01, high23);
}

// Stores 8 bytes, the low half of a vector.
KV_ALWAYS_INLINE void Store8(uint8_t* output, __m128i value) {
    _mm_storel_epi64(reinterpret_cast<__m128i*>(output), value);
}

// Writes the eight output columns, each as 8 rows of 16-bit values (already shifted), as 8 rows of
// bytes: packing with unsigned saturation clamps to 0..255, then the bytes are transposed.
KV_ALWAYS_INLINE void StoreColumns(const __m128i* columns, uint8_t* output, int32_t rowWidth, ByteCells) {
    const __m128i c01 = _mm_packus_epi16(columns[0], columns[1]);  // column 0 rows 0..7, column 1 rows 0..7
    const __m128i c23 = _mm_packus_epi16(columns[2], columns[3]);
    const __m128i c45 = _mm_packus_epi16(columns[4], columns[5]);
    const __m128i c67 = _mm_packus_epi16(columns[6], columns[7]);
    const __m128i t0 = _mm_unpacklo_epi8(c01, c23);  // c0r0 c2r0 c0r1 c2r1 ...
    const __m128i t1 = _mm_unpackhi_epi8(c01, c23);  // c1r0 c3r0 c1r1 c3r1 ...
    const __m128i t2 = _mm_unpacklo_epi8(c45, c67);
    const __m128i t3 = _mm_unpackhi_epi8(c45, c67);
    const __m128i left0123 = _mm_unpacklo_epi8(t0, t1);   // rows 0..3, columns 0..3
    const __m128i left4567 = _mm_unpackhi_epi8(t0, t1);   // rows 4..7, columns 0..3
    const __m128i right0123 = _mm_unpacklo_epi8(t2, t3);  // rows 0..3, columns 4..7
    const __m128i right4567 = _mm_unpackhi_epi8(t2, t3);  // rows 4..7, columns 4..7
    const __m128i rows[4] = {
        _mm_unpacklo_epi32(left0123, right0123),  // rows 0 and 1
        _mm_unpackhi_epi32(left0123, right0123),  // rows 2 and 3
        _mm_unpacklo_epi32(left4567, right4567),  // rows 4 and 5
        _mm_unpackhi_epi32(left4567, right4567),  // rows 6 and 7
    };
    KV_UNROLL
    for (int pair = 0; pair < 4; ++pair, output += 2 * rowWidth) {
        Store8(output, rows[pair]);
        Store8(output + rowWidth, _mm_unpackhi_epi64(rows[pair], rows[pair]));
    }
}

// The same for 16-bit cells: clamped to 0..2047 with 16-bit minimum and maximum, then transposed.
KV_ALWAYS_INLINE void StoreColumns(const __m128i* columns, uint8_t* output, int32_t rowWidth, WideCells) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i top = _mm_set1_epi16(WideCells::kMax);
    __m128i c[8];
    KV_UNROLL
    for (int j = 0; j < 8; ++j) c[j] = _mm_min_epi16(_mm_max_epi16(columns[j], zero), top);
    const __m128i t0 = _mm_unpacklo_epi16(c[0], c[1]);  // c0r0 c1r0 c0r1 c1r1 c0r2 c1r2 c0r3 c1r3
    const __m128i t1 = _mm_unpackhi_epi16(c[0], c[1]);  // the same for rows 4..7
    const __m128i t2 = _mm_unpacklo_epi16(c[2], c[3]);
    const __m128i t3 = _mm_unpackhi_epi16(c[2], c[3]);
    const __m128i t4 = _mm_unpacklo_epi16(c[4], c[5]);
    const __m128i t5 = _mm_unpackhi_epi16(c[4], c[5]);
    const __m128i t6 = _mm_unpacklo_epi16(c[6], c[7]);
    const __m128i t7 = _mm_unpackhi_epi16(c[6], c[7]);
    const __m128i left01 = _mm_unpacklo_epi32(t0, t2);  // rows 0 and 1, columns 0..3
    const __m128i left23 = _mm_unpackhi_epi32(t0, t2);
    const __m128i left45 = _mm_unpacklo_epi32(t1, t3);
    const __m128i left67 = _mm_unpackhi_epi32(t1, t3);
    const __m128i right01 = _mm_unpacklo_epi32(t4, t6);  // rows 0 and 1, columns 4..7
    const __m128i right23 = _mm_unpackhi_epi32(t4, t6);
    const __m128i right45 = _mm_unpacklo_epi32(t5, t7);
    const __m128i right67 = _mm_unpackhi_epi32(t5, t7);
    const __m128i rows[8] = {
        _mm_unpacklo_epi64(left01, right01), _mm_unpackhi_epi64(left01, right01),
        _mm_unpacklo_epi64(left23, right23), _mm_unpackhi_epi64(left23, right23),
        _mm_unpacklo_epi64(left45, right45), _mm_unpackhi_epi64(left45, right45),
        _mm_unpacklo_epi64(left67, right67), _mm_unpackhi_epi64(left67, right67),
    };
    KV_UNROLL
    for (int row = 0; row < 8; ++row, output += rowWidth) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(output), rows[row]);
    }
}

// Row pass over rows 0..3 of cells (rows 8 apart), columns above HighestColumn being zero: the rows
// are read transposed, so that each lane carries one row and each vector one column. Hands back the
// results shifted down to sample scale, one vector per output column.
template <int HighestColumn, typename Width>
KV_ALWAYS_INLINE void RowPassFour(const int32_t* cells, __m128i* shifted) {
    Lanes columns[8];
    Transpose4(cells, columns);
    if constexpr (HighestColumn >= 4) Transpose4(cells + 4, columns + 4);
    Transform8<HighestColumn, Lanes>([&columns](int j) { return columns[j]; },
                                     [shifted](int j, Lanes value) {
                                         shifted[j] = _mm_srai_epi32(value.v, Width::kShift);
                                     });
}

// Row pass over all 8 rows, four at a time, columns above HighestColumn being zero. The shifted results
// of rows 0..3 and 4..7 meet in 16-bit lanes (a shifted result of either width fits after signed
// saturation, which keeps values below 0 below 0 and values above the maximum above it), one vector
// per output column, and are clamped and stored row by row.
template <int HighestColumn, typename Width>
void RowPassLanes(const int32_t* block, uint8_t* output, int32_t rowWidth) {
    __m128i top[8];
    __m128i bottom[8];
    RowPassFour<HighestColumn, Width>(block, top);
    RowPassFour<HighestColumn, Width>(block + 32, bottom);
    __m128i samples[8];
    KV_UNROLL
    for (int j = 0; j < 8; ++j) samples[j] = _mm_packs_epi32(top[j], bottom[j]);
    StoreColumns(samples, output, rowWidth, Width{});
}

// The block when only row 0 may be nonzero: the column pass would copy row 0 into every row, so the
// eight output rows are equal. Row 0 is transformed on its own and the one row of samples repeated.
template <int HighestColumn, typename Width>
void FirstRowLanes(const int32_t* block, uint8_t* output, int32_t rowWidth) {
    uint32_t y[8];
    Transform8<HighestColumn, uint32_t>([block](int j) { return static_cast<uint32_t>(block[j]); },
                                        [&y](int j, uint32_t value) { y[j] = value; });
    const __m128i left = _mm_setr_epi32(static_cast<int32_t>(y[0]), static_cast<int32_t>(y[1]),
                                        static_cast<int32_t>(y[2]), static_cast<int32_t>(y[3]));
    const __m128i right = _mm_setr_epi32(static_cast<int32_t>(y[4]), static_cast<int32_t>(y[5]),
                                         static_cast<int32_t>(y[6]), static_cast<int32_t>(y[7]));
    const __m128i samples =
        _mm_packs_epi32(_mm_srai_epi32(left, Width::kShift), _mm_srai_epi32(right, Width::kShift));
    if constexpr (sizeof(typename Width::Cell) == 1) {
        const __m128i bytes = _mm_packus_epi16(samples, samples);
        for (int row = 0; row < 8; ++row, output += rowWidth) Store8(output, bytes);
    } else {
        const __m128i cells =
            _mm_min_epi16(_mm_max_epi16(samples, _mm_setzero_si128()), _mm_set1_epi16(Width::kMax));
        for (int row = 0; row < 8; ++row, output += rowWidth) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(output), cells);
        }
    }
}

using RowPassLanesProc = void (*)(const int32_t* block, uint8_t* output, int32_t rowWidth);

// Index: [highest nonzero column / 4: columns 0..3 or all 8][highest nonzero row 1..7]; 6 shares the
// full form.
const ColumnPassProc kColumnPassesLanes[2][8] = {
    {nullptr, ColumnPassLanes<1, 1>, ColumnPassLanes<2, 1>, ColumnPassLanes<3, 1>, ColumnPassLanes<4, 1>,
     ColumnPassLanes<5, 1>, ColumnPassLanes<7, 1>, ColumnPassLanes<7, 1>},
    {nullptr, ColumnPassLanes<1, 2>, ColumnPassLanes<2, 2>, ColumnPassLanes<3, 2>, ColumnPassLanes<4, 2>,
     ColumnPassLanes<5, 2>, ColumnPassLanes<7, 2>, ColumnPassLanes<7, 2>},
};

// Index: [16-bit cells][highest nonzero column 0..7]; 6 shares the full form.
const RowPassLanesProc kRowPassesLanes[2][8] = {
    {RowPassLanes<0, ByteCells>, RowPassLanes<1, ByteCells>, RowPassLanes<2, ByteCells>,
     RowPassLanes<3, ByteCells>, RowPassLanes<4, ByteCells>, RowPassLanes<5, ByteCells>,
     RowPassLanes<7, ByteCells>, RowPassLanes<7, ByteCells>},
    {RowPassLanes<0, WideCells>, RowPassLanes<1, WideCells>, RowPassLanes<2, WideCells>,
     RowPassLanes<3, WideCells>, RowPassLanes<4, WideCells>, RowPassLanes<5, WideCells>,
     RowPassLanes<7, WideCells>, RowPassLanes<7, WideCells>},
};

// Index: [16-bit cells][highest nonzero column 1..7]; 6 shares the full form. Column 0 alone is the
// uniform block, filled directly.
const RowPassLanesProc kFirstRowsLanes[2][8] = {
    {nullptr, FirstRowLanes<1, ByteCells>, FirstRowLanes<2, ByteCells>, FirstRowLanes<3, ByteCells>,
     FirstRowLanes<4, ByteCells>, FirstRowLanes<5, ByteCells>, FirstRowLanes<7, ByteCells>,
     FirstRowLanes<7, ByteCells>},
    {nullptr, FirstRowLanes<1, WideCells>, FirstRowLanes<2, WideCells>, FirstRowLanes<3, WideCells>,
     FirstRowLanes<4, WideCells>, FirstRowLanes<5, WideCells>, FirstRowLanes<7, WideCells>,
     FirstRowLanes<7, WideCells>},
};

// A block whose only coefficient is (0,0) (bias included) becomes 64 equal samples.
void FillUniform(uint32_t value, uint8_t* output, int32_t rowWidth, bool wide) {
    if (wide) {
        const __m128i cells = _mm_set1_epi16(static_cast<int16_t>(Finish<WideCells>(value)));
        for (int row = 0; row < 8; ++row, output += rowWidth) {
            _mm_storeu_si128(reinterpret_cast<__m128i*>(output), cells);
        }
    } else {
        const __m128i bytes = _mm_set1_epi8(static_cast<char>(Finish<ByteCells>(value)));
        for (int row = 0; row < 8; ++row, output += rowWidth) Store8(output, bytes);
    }
}
#endif

#if KV_AVX2
// ---- A whole block at once (AVX2): eight columns side by side, then eight rows ----
//
// Each row of the block is one vector of eight 32-bit lanes. The column pass transforms all eight
// columns at once; the results are transposed in registers, so that each vector holds one column, and
// the row pass transforms all eight rows at once. The transform is Transform8's, written again for
// these vectors: a function compiled for AVX2 cannot take the shared template's body, which is
// compiled without it.

KV_ALWAYS_INLINE KV_TARGET_AVX2 __m256i Add(__m256i a, __m256i b) { return _mm256_add_epi32(a, b); }
KV_ALWAYS_INLINE KV_TARGET_AVX2 __m256i Sub(__m256i a, __m256i b) { return _mm256_sub_epi32(a, b); }
template <int Bits>
KV_ALWAYS_INLINE KV_TARGET_AVX2 __m256i Sar(__m256i a) {
    return _mm256_srai_epi32(a, Bits);
}

// Transform8 on x[0..7], inputs above Highest being zero (and not read), results into y[0..7].
template <int Highest>
KV_ALWAYS_INLINE KV_TARGET_AVX2 void Transform8Wide(const __m256i* x, __m256i* y) {
    const __m256i zero = _mm256_setzero_si256();
    const __m256i x0 = x[0];
    const __m256i x1 = Highest >= 1 ? x[1] : zero;
    const __m256i x2 = Highest >= 2 ? x[2] : zero;
    const __m256i x3 = Highest >= 3 ? x[3] : zero;
    const __m256i x4 = Highest >= 4 ? x[4] : zero;
    const __m256i x5 = Highest >= 5 ? x[5] : zero;
    const __m256i x6 = Highest >= 6 ? x[6] : zero;
    const __m256i x7 = Highest >= 7 ? x[7] : zero;

    const __m256i sum17 = Add(x1, x7);
    const __m256i sum35 = Add(x3, x5);
    const __m256i a = Sub(sum17, sum35);
    const __m256i aPlusQuarter = Add(a, Sar<2>(a));
    const __m256i rotA = Sar<1>(Add(Sar<3>(Add(Sar<4>(a), aPlusQuarter)), aPlusQuarter));
    const __m256i b = Sub(x1, x7);
    const __m256i bQuarter = Sar<2>(b);
    const __m256i e = Sub(x3, x5);
    const __m256i d = Sub(b, e);
    const __m256i rotD = Add(Sar<7>(Sub(d, Sar<6>(d))), Sar<1>(Sub(d, Sar<2>(d))));
    const __m256i rotB = Sub(Add(Add(Sub(Sar<4>(b), Sar<7>(Sub(b, bQuarter))), bQuarter), b), rotD);
    const __m256i ePlusSixteenth = Add(Sar<4>(e), e);
    const __m256i rotE = Sar<1>(Add(Sar<6>(Add(Sar<2>(ePlusSixteenth), e)), ePlusSixteenth));
    const __m256i oddS = Add(Add(sum35, sum17), rotB);
    const __m256i oddF = Sub(rotD, rotE);
    const __m256i oddG = Add(rotA, oddF);
    const __m256i oddL = Add(rotB, rotA);

    const __m256i g = Sub(x2, x6);
    const __m256i gPlusQuarter = Add(g, Sar<2>(g));
    const __m256i rotH = Sar<1>(Add(Sar<3>(Add(Sar<4>(g), gPlusQuarter)), gPlusQuarter));
    const __m256i evenJ = Add(Add(x2, x6), rotH);
    const __m256i k0 = Add(Add(x0, x4), evenJ);
    const __m256i k1 = Add(Sub(x0, x4), rotH);
    const __m256i k2 = Sub(Sub(x0, x4), rotH);
    const __m256i m = Sub(Add(x0, x4), evenJ);

    y[0] = Add(k0, oddS);
    y[1] = Add(k1, oddL);
    y[2] = Add(k2, oddG);
    y[3] = Add(m, oddF);
    y[4] = Sub(m, oddF);
    y[5] = Sub(k2, oddG);
    y[6] = Sub(k1, oddL);
    y[7] = Sub(k0, oddS);
}

// Writes the eight output columns (one vector each, one row per lane, already shifted) as 8 rows
// of bytes, clamped to 0..255 by packing with saturation.
KV_ALWAYS_INLINE KV_TARGET_AVX2 void StoreColumnsWide(const __m256i* columns, uint8_t* output, int32_t rowWidth,
                                                      ByteCells) {
    // Per 128-bit lane: columns 0..3 (then 4..7) of rows 0..3 (lane 0) or 4..7 (lane 1), column after
    // column.
    const __m256i left = _mm256_packus_epi16(_mm256_packs_epi32(columns[0], columns[1]),
                                             _mm256_packs_epi32(columns[2], columns[3]));
    const __m256i right = _mm256_packus_epi16(_mm256_packs_epi32(columns[4], columns[5]),
                                              _mm256_packs_epi32(columns[6], columns[7]));
    const __m256i byRow = _mm256_setr_epi8(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15, 0, 4, 8, 12, 1, 5,
                                           9, 13, 2, 6, 10, 14, 3, 7, 11, 15);
    const __m256i leftRows = _mm256_shuffle_epi8(left, byRow);    // rows 0..3 (4..7), columns 0..3
    const __m256i rightRows = _mm256_shuffle_epi8(right, byRow);  // the same, columns 4..7
    const __m256i rows01 = _mm256_unpacklo_epi32(leftRows, rightRows);  // rows 0, 1 | rows 4, 5
    const __m256i rows23 = _mm256_unpackhi_epi32(leftRows, rightRows);  // rows 2, 3 | rows 6, 7
    const __m128i pairs[4] = {_mm256_castsi256_si128(rows01), _mm256_castsi256_si128(rows23),
                              _mm256_extracti128_si256(rows01, 1), _mm256_extracti128_si256(rows23, 1)};
    KV_UNROLL
    for (int pair = 0; pair < 4; ++pair, output += 2 * rowWidth) {
        _mm_storel_epi64(reinterpret_cast<__m128i*>(output), pairs[pair]);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(output + rowWidth), _mm_unpackhi_epi64(pairs[pair], pairs[pair]));
    }
}

// The same for 16-bit cells, clamped to 0..2047.
KV_ALWAYS_INLINE KV_TARGET_AVX2 void StoreColumnsWide(const __m256i* columns, uint8_t* output, int32_t rowWidth,
                                                      WideCells) {
    const __m256i zero = _mm256_setzero_si256();
    const __m256i top = _mm256_set1_epi16(WideCells::kMax);
    // Per 128-bit lane, words: column pairs (c, c + 1) of rows 0..3 (lane 0) or 4..7 (lane 1), each
    // reordered to row after row.
    const __m256i byRow = _mm256_setr_epi8(0, 1, 8, 9, 2, 3, 10, 11, 4, 5, 12, 13, 6, 7, 14, 15, 0, 1, 8, 9, 2, 3,
                                           10, 11, 4, 5, 12, 13, 6, 7, 14, 15);
    __m256i pairs[4];
    KV_UNROLL
    for (int c = 0; c < 4; ++c) {
        const __m256i packed = _mm256_packs_epi32(columns[2 * c], columns[2 * c + 1]);
        pairs[c] = _mm256_shuffle_epi8(_mm256_min_epi16(_mm256_max_epi16(packed, zero), top), byRow);
    }
    const __m256i low01 = _mm256_unpacklo_epi32(pairs[0], pairs[1]);   // rows 0, 1 (4, 5), columns 0..3
    const __m256i high01 = _mm256_unpackhi_epi32(pairs[0], pairs[1]);  // rows 2, 3 (6, 7)
    const __m256i low23 = _mm256_unpacklo_epi32(pairs[2], pairs[3]);   // the same, columns 4..7
    const __m256i high23 = _mm256_unpackhi_epi32(pairs[2], pairs[3]);
    const __m256i rows[4] = {
        _mm256_unpacklo_epi64(low01, low23),    // row 0 | row 4
        _mm256_unpackhi_epi64(low01, low23),    // row 1 | row 5
        _mm256_unpacklo_epi64(high01, high23),  // row 2 | row 6
        _mm256_unpackhi_epi64(high01, high23),  // row 3 | row 7
    };
    KV_UNROLL
    for (int row = 0; row < 4; ++row) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(output + row * rowWidth), _mm256_castsi256_si128(rows[row]));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(output + (row + 4) * rowWidth),
                         _mm256_extracti128_si256(rows[row], 1));
    }
}

// Both passes of a block whose rows above HighestRow (1..7) and columns above HighestColumn (3 or 7)
// are zero.
template <int HighestRow, int HighestColumn, typename Width>
KV_TARGET_AVX2 void BlockPassesWide(const int32_t* block, uint8_t* output, int32_t rowWidth) {
    __m256i rows[8];
    KV_UNROLL
    for (int row = 0; row <= HighestRow; ++row) {
        rows[row] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(block + 8 * row));
    }
    __m256i columns[8];
    Transform8Wide<HighestRow>(rows, columns);  // still one vector per row
    simd::Transpose8x32(columns, columns);
    __m256i results[8];
    Transform8Wide<HighestColumn>(columns, results);
    KV_UNROLL
    for (int j = 0; j < 8; ++j) results[j] = _mm256_srai_epi32(results[j], Width::kShift);
    StoreColumnsWide(results, output, rowWidth, Width{});
}

using BlockPassesProc = void (*)(const int32_t* block, uint8_t* output, int32_t rowWidth);

// Index: [highest nonzero column / 4: columns 0..3 or all 8][highest nonzero row 1..7] of one output
// width; 6 shares the full form.
template <typename Width>
constexpr BlockPassesProc kBlockPassesWideOf[2][8] = {
    {nullptr, BlockPassesWide<1, 3, Width>, BlockPassesWide<2, 3, Width>, BlockPassesWide<3, 3, Width>,
     BlockPassesWide<4, 3, Width>, BlockPassesWide<5, 3, Width>, BlockPassesWide<7, 3, Width>,
     BlockPassesWide<7, 3, Width>},
    {nullptr, BlockPassesWide<1, 7, Width>, BlockPassesWide<2, 7, Width>, BlockPassesWide<3, 7, Width>,
     BlockPassesWide<4, 7, Width>, BlockPassesWide<5, 7, Width>, BlockPassesWide<7, 7, Width>,
     BlockPassesWide<7, 7, Width>},
};

// Index: [16-bit cells]: the table of each output width.
const BlockPassesProc (*const kBlockPassesWide[2])[8] = {kBlockPassesWideOf<ByteCells>,
                                                         kBlockPassesWideOf<WideCells>};
#endif

}  // namespace

void InverseDctPortable(CodecContext* context, int32_t* block, uint8_t* output, int highestColumn,
                        int highestRow, const ComponentInfo* component) {
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

namespace {

// InverseDct with or without the AVX2 form.
KV_ALWAYS_INLINE void InverseDctChosen(CodecContext* context, int32_t* block, uint8_t* output, int highestColumn,
                                       int highestRow, const ComponentInfo* component, bool avx2) {
#if KV_SSE2
    static_cast<void>(context);
    if (static_cast<unsigned>(highestColumn | highestRow) > 7) CodecBug();
    const int wide = component->wideSamples != 0 ? 1 : 0;
    const uint32_t bias = wide ? kWideBias : kByteBias;
    const uint32_t first = static_cast<uint32_t>(block[0]) + bias;
    block[0] = static_cast<int32_t>(first);
    const int32_t rowWidth = component->rowWidth;
    if (highestRow == 0) {
        if (highestColumn == 0) {
            FillUniform(first, output, rowWidth, wide != 0);
        } else {
            kFirstRowsLanes[wide][highestColumn](block, output, rowWidth);
        }
        return;
    }
#if KV_AVX2
    if (avx2) {
        kBlockPassesWide[wide][highestColumn >> 2][highestRow](block, output, rowWidth);
        return;
    }
#else
    static_cast<void>(avx2);
#endif
    kColumnPassesLanes[highestColumn >> 2][highestRow](block);
    kRowPassesLanes[wide][highestColumn](block, output, rowWidth);
#else
    static_cast<void>(avx2);
    InverseDctPortable(context, block, output, highestColumn, highestRow, component);
#endif
}

}  // namespace

void InverseDct(CodecContext* context, int32_t* block, uint8_t* output, int highestColumn, int highestRow,
                const ComponentInfo* component) {
#if KV_AVX2
    const bool avx2 = simd::HasAvx2();
#else
    const bool avx2 = false;
#endif
    InverseDctChosen(context, block, output, highestColumn, highestRow, component, avx2);
}

void InverseDctWithoutAvx2(CodecContext* context, int32_t* block, uint8_t* output, int highestColumn,
                           int highestRow, const ComponentInfo* component) {
    InverseDctChosen(context, block, output, highestColumn, highestRow, component, false);
}

}  // namespace kv::codec
