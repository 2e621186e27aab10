// The forward DCT and quantisation: an 8x8 block of component samples (8-bit, or 8.8 fixed point in
// 16-bit cells) in, 64 scaled DCT values in natural order, then 64 quantised coefficients in zig-zag
// order out.
//
// The row and column transforms are written once for plain 32-bit values and for four 32-bit lanes.
// The portable implementation transforms one row or column at a time; on x86 (SSE2) the rows and the
// columns go four side by side, and rows of 8-bit samples go eight side by side in 16-bit lanes (below).
// Every value is computed with the same 32-bit wrap-around in both, so they give the same results.
#include <bit>
#include <cstddef>
#include <cstring>

#include "codec/encoder/forward_path.h"
#include "codec/simd.h"
#include "codec/huffman_tables.h"

namespace kv::codec {

// Natural (row-major) order. Entry (u, v) is 2^18 x a(u) x a(v) rounded to the nearest integer, with
// a(0) = a(4) = 1 and a(k) = sqrt(2) x cos(k x pi / 16): the factors by which the scaled DCT's outputs
// exceed the true DCT's, computed once in double precision. Entry (6, 5) holds 111467 where the
// rounding gives 111468 (as entry (5, 6) does); the tables are kept exactly so.
const uint32_t AanScaleTable[64] = {
    262144, 363604, 342508, 308249, 262144, 205965, 141871, 72325,
    363604, 504333, 475072, 427553, 363604, 285682, 196781, 100318,
    342508, 475072, 447508, 402746, 342508, 269107, 185364, 94498,
    308249, 427553, 402746, 362462, 308249, 242189, 166823, 85046,
    262144, 363604, 342508, 308249, 262144, 205965, 141871, 72325,
    205965, 285682, 269107, 242189, 205965, 161826, 111468, 56826,
    141871, 196781, 185364, 166823, 141871, 111467, 76780,  39142,
    72325,  100318, 94498,  85046,  72325,  56826,  39142,  19955,
};

namespace {

using simd::Sar;
#if KV_SSE2
using simd::Lanes;
#endif

// Row-pass factors for 8-bit samples, x 2^16.
constexpr uint32_t kByteOne = 65536;
constexpr uint32_t kByteR707 = 46336;    // 0.70703125  for 1/sqrt(2)         = 0.7071068
constexpr uint32_t kByteR383 = 25080;    // 0.38269043  for cos(3 pi / 8)     = 0.3826834
constexpr uint32_t kByteR541 = 35464;    // 0.54113770  for the odd rotation   0.5411961
constexpr uint32_t kByteR1307 = 85632;   // 1.30664063  for the odd rotation   1.3065630

// Row-pass factors for 8.8 samples, x 2^8 (the samples carry the other 2^8).
constexpr uint32_t kWideOne = 256;
constexpr uint32_t kWideR707 = 181;      // 0.70703125
constexpr uint32_t kWideR383 = 98;       // 98 - 1/32:        0.38269043
constexpr uint32_t kWideR541 = 138;      // 138 + 17/32:      0.54113770
constexpr uint32_t kWideR1307 = 336;     // 336 - 1 - 1/2:    1.30664063

// Samples are not level-shifted; a block of 128 would give the DC output 64 x 128 x 2^16 = 2^29, so
// that much is taken off the DC output instead: adding 2^32 - 2^29 in wrap-around.
constexpr uint32_t kLevelShift = 0xE0000000u;

// Multiplication by a constant, wrapping around in 32 bits.
template <uint32_t Factor>
KV_ALWAYS_INLINE uint32_t Times(uint32_t value) {
    return value * Factor;
}

#if KV_SSE2
// A 32-bit lane is a low half L (unsigned) and a high half H; modulo 2^32 its product with a factor
// below 2^16 is L x f + (H x f) x 2^16, that is: the low 16 bits of L x f, and above them the high 16
// bits of L x f plus the low 16 bits of H x f. SSE2 has those 16-bit products, but no 32-bit one.
template <uint32_t Factor>
KV_ALWAYS_INLINE Lanes Times(Lanes value) {
    static_assert(Factor < 65536);
    if constexpr (std::has_single_bit(Factor)) {
        return {_mm_slli_epi32(value.v, std::countr_zero(Factor))};
    } else {
        const __m128i factor = _mm_set1_epi16(static_cast<int16_t>(Factor));
        const __m128i low = _mm_mullo_epi16(value.v, factor);    // low 16 bits of L x f and of H x f
        const __m128i high = _mm_mulhi_epu16(value.v, factor);   // high 16 bits of L x f (and of H x f)
        return {_mm_add_epi32(low, _mm_slli_epi32(high, 16))};
    }
}
#endif

// The stages the row and the column transforms share: sums and differences of the mirrored inputs
// load(0) ... load(7) (t), of the even sums (e) and of neighbouring odd differences (o), and the
// odd rotation's input m.
template <typename Value>
struct ButterflyValues {
    Value t7, e10, e11, e12, e13, o10, o11, o12, m;
};

template <typename Value, typename Load>
KV_ALWAYS_INLINE ButterflyValues<Value> Butterfly(const Load& load) {
    const Value s0 = load(0), s1 = load(1), s2 = load(2), s3 = load(3);
    const Value s4 = load(4), s5 = load(5), s6 = load(6), s7 = load(7);
    const Value t0 = s0 + s7, t7 = s0 - s7;
    const Value t1 = s1 + s6, t6 = s1 - s6;
    const Value t2 = s2 + s5, t5 = s2 - s5;
    const Value t3 = s3 + s4, t4 = s3 - s4;
    const Value e10 = t0 + t3, e13 = t0 - t3, e11 = t1 + t2, e12 = t1 - t2;
    const Value o10 = t4 + t5, o11 = t5 + t6, o12 = t6 + t7;
    return {t7, e10, e11, e12, e13, o10, o11, o12, o12 - o10};
}

// The last stage both transforms share: outputs 0 and 4 as given, 2 and 6 from the even part
// (e13 and its rotation z1), the odd outputs from t7, its rotation z3 and the odd rotations z2, z4.
template <typename Value, typename Store>
KV_ALWAYS_INLINE void StoreOutputs(const Store& store, Value out0, Value out4, Value e13, Value z1, Value t7,
                                   Value z2, Value z3, Value z4) {
    const Value z11 = t7 + z3, z13 = t7 - z3;
    store(0, out0);
    store(4, out4);
    store(2, e13 + z1);
    store(6, e13 - z1);
    store(1, z11 + z4);
    store(3, z13 - z2);
    store(5, z13 + z2);
    store(7, z11 - z4);
}

// One row of the row pass: the 1-D transform of load(0) ... load(7) with constant multiplications,
// handing output k (x 2^16 per unit of an 8-bit sample) to store(k, value). Value is uint32_t (one
// row) or Lanes (four rows side by side); Wide selects the factors for 8.8 samples.
template <bool Wide, typename Value, typename Load, typename Store>
KV_ALWAYS_INLINE void RowTransform(const Load& load, const Store& store) {
    const auto [t7, e10, e11, e12, e13, o10, o11, o12, m] = Butterfly<Value>(load);
    Value z1, z2, z3, z4, z5, t7One, e13One, sumOne, differenceOne;
    if constexpr (!Wide) {
        z1 = Times<kByteR707>(e12 + e13);
        z3 = Times<kByteR707>(o11);
        z5 = Times<kByteR383>(m);
        z2 = Times<kByteR541>(o10) - z5;
        z4 = Times<kByteR1307>(o12) - z5;
        t7One = Times<kByteOne>(t7);
        e13One = Times<kByteOne>(e13);
        sumOne = Times<kByteOne>(e10 + e11);
        differenceOne = Times<kByteOne>(e10 - e11);
    } else {
        z1 = Times<kWideR707>(e12 + e13);
        z3 = Times<kWideR707>(o11);
        z5 = Times<kWideR383>(m) - Sar<5>(m);
        z2 = Times<kWideR541>(o10) + Sar<5>(Times<17>(o10)) - z5;
        z4 = Times<kWideR1307>(o12) - o12 - Sar<1>(o12) - z5;
        t7One = Times<kWideOne>(t7);
        e13One = Times<kWideOne>(e13);
        sumOne = Times<kWideOne>(e10 + e11);
        differenceOne = Times<kWideOne>(e10 - e11);
    }
    StoreOutputs(store, sumOne, differenceOne, e13One, z1, t7One, z2, z3, z4);
}

// x 0.70703125 by shifts and adds.
template <typename Value>
KV_ALWAYS_INLINE Value Multiply707(Value x) {
    const Value y = x + Sar<2>(x);
    return Sar<1>(y + Sar<3>(y + Sar<4>(x)));
}

// One column of the column pass: the 1-D transform of load(0) ... load(7) (the row-pass values of
// rows 0..7) with shift-and-add multiplications, handing output u to store(u, value).
template <typename Value, typename Load, typename Store>
KV_ALWAYS_INLINE void ColumnTransform(const Load& load, const Store& store) {
    const auto [t7, e10, e11, e12, e13, o10, o11, o12, m] = Butterfly<Value>(load);
    const Value z1 = Multiply707(e12 + e13);
    const Value z3 = Multiply707(o11);
    // z5: x 0.38269; z2: x 0.54114 less z5; z4: x 1.30664 less z5.
    const Value z5 = Sar<1>(m - Sar<2>(m)) + Sar<7>(m - Sar<6>(m));
    const Value a = o10 + Sar<4>(o10);
    const Value z2 = Sar<1>(a + Sar<6>(o10 + Sar<2>(a))) - z5;
    const Value z4 = o12 + Sar<2>(o12) + Sar<4>(o12) - Sar<7>(o12 - Sar<2>(o12)) - z5;
    StoreOutputs(store, e10 + e11, e10 - e11, e13, z1, t7, z2, z3, z4);
}

// Quantises one value with divisor d (rounding half away from zero). The sign is taken off and put
// back with a mask of all ones (negative) or zeros, without branches: signs of coefficients are
// unpredictable.
inline int16_t Quantise(int32_t value, uint32_t divisor) {
    const uint32_t sign = static_cast<uint32_t>(value >> 31);
    const uint32_t magnitude = (static_cast<uint32_t>(value) ^ sign) - sign;
    const uint32_t quotient = (magnitude + divisor) / (2 * divisor);
    return static_cast<int16_t>((quotient ^ sign) - sign);
}

// Quantise with the division replaced by DivideByReciprocal: the same quotient.
KV_ALWAYS_INLINE int16_t QuantiseByReciprocal(int32_t value, uint32_t divisor, uint32_t reciprocal, int shift) {
    const uint32_t sign = static_cast<uint32_t>(value >> 31);
    const uint32_t magnitude = (static_cast<uint32_t>(value) ^ sign) - sign;
    const uint32_t quotient = DivideByReciprocal(magnitude + divisor, reciprocal, shift);
    return static_cast<int16_t>((quotient ^ sign) - sign);
}

// Keeps a divisor usable: at least 1 and small enough that twice it, and a magnitude plus it, fit 32
// bits. The encoder's own quantisers (1..255) never reach either bound.
constexpr uint64_t kLargestDivisor = uint64_t{1} << 30;

// ---- One row or column at a time ----

template <typename Cell>
void RowPass(const uint8_t* first, int32_t rowWidth, uint32_t* work) {
    for (int row = 0; row < 8; ++row, first += rowWidth, work += 8) {
        const Cell* s = CellsOf<Cell>(first);
        RowTransform<sizeof(Cell) == 2, uint32_t>([s](int j) { return static_cast<uint32_t>(s[j]); },
                                                  [work](int k, uint32_t value) { work[k] = value; });
    }
}

void ColumnPass(const uint32_t* work, int32_t* out) {
    for (int column = 0; column < 8; ++column) {
        const uint32_t* r = work + column;
        int32_t* o = out + column;
        ColumnTransform<uint32_t>([r](int j) { return r[8 * j]; },
                                  [o](int u, uint32_t value) { o[8 * u] = static_cast<int32_t>(value); });
    }
}

#if KV_SSE2
// ---- Four (or eight) rows or columns side by side ----

// Transposes an 8x8 square of 16-bit values: rows[r] lane j becomes columns[j] lane r.
KV_ALWAYS_INLINE void Transpose8x16(const __m128i* rows, __m128i* columns) {
    const __m128i a0 = _mm_unpacklo_epi16(rows[0], rows[1]);  // r0c0 r1c0 r0c1 r1c1 .. r0c3 r1c3
    const __m128i a1 = _mm_unpackhi_epi16(rows[0], rows[1]);  // columns 4..7
    const __m128i a2 = _mm_unpacklo_epi16(rows[2], rows[3]);
    const __m128i a3 = _mm_unpackhi_epi16(rows[2], rows[3]);
    const __m128i a4 = _mm_unpacklo_epi16(rows[4], rows[5]);
    const __m128i a5 = _mm_unpackhi_epi16(rows[4], rows[5]);
    const __m128i a6 = _mm_unpacklo_epi16(rows[6], rows[7]);
    const __m128i a7 = _mm_unpackhi_epi16(rows[6], rows[7]);
    const __m128i b0 = _mm_unpacklo_epi32(a0, a2);  // rows 0..3 of columns 0, 1
    const __m128i b1 = _mm_unpackhi_epi32(a0, a2);  // rows 0..3 of columns 2, 3
    const __m128i b2 = _mm_unpacklo_epi32(a1, a3);  // columns 4, 5
    const __m128i b3 = _mm_unpackhi_epi32(a1, a3);  // columns 6, 7
    const __m128i b4 = _mm_unpacklo_epi32(a4, a6);  // rows 4..7 of columns 0, 1
    const __m128i b5 = _mm_unpackhi_epi32(a4, a6);
    const __m128i b6 = _mm_unpacklo_epi32(a5, a7);
    const __m128i b7 = _mm_unpackhi_epi32(a5, a7);
    columns[0] = _mm_unpacklo_epi64(b0, b4);
    columns[1] = _mm_unpackhi_epi64(b0, b4);
    columns[2] = _mm_unpacklo_epi64(b1, b5);
    columns[3] = _mm_unpackhi_epi64(b1, b5);
    columns[4] = _mm_unpacklo_epi64(b2, b6);
    columns[5] = _mm_unpackhi_epi64(b2, b6);
    columns[6] = _mm_unpacklo_epi64(b3, b7);
    columns[7] = _mm_unpackhi_epi64(b3, b7);
}

// Transposes a 4x4 square of 32-bit values.
KV_ALWAYS_INLINE void Transpose4(const __m128i& in0, const __m128i& in1, const __m128i& in2, const __m128i& in3,
                               __m128i* out0, __m128i* out1, __m128i* out2, __m128i* out3) {
    const __m128i low01 = _mm_unpacklo_epi32(in0, in1);   // 0.0 1.0 0.1 1.1
    const __m128i low23 = _mm_unpacklo_epi32(in2, in3);   // 2.0 3.0 2.1 3.1
    const __m128i high01 = _mm_unpackhi_epi32(in0, in1);  // 0.2 1.2 0.3 1.3
    const __m128i high23 = _mm_unpackhi_epi32(in2, in3);  // 2.2 3.2 2.3 3.3
    *out0 = _mm_unpacklo_epi64(low01, low23);
    *out1 = _mm_unpackhi_epi64(low01, low23);
    *out2 = _mm_unpacklo_epi64(high01, high23);
    *out3 = _mm_unpackhi_epi64(high01, high23);
}

// Rows of 8-bit samples, eight side by side in 16-bit lanes. Without shifts in the byte row pass, and
// with every value far from 2^31, each output is exactly a sum of constant multiples of the butterfly
// values t4..t7 (odd outputs) or e12, e13 (outputs 2 and 6); the multiples below are those sums'
// factors, collected from the row transform's steps and divided by 8 (every factor is a multiple of 8)
// so that they fit 16-bit lanes. The butterflies of 8-bit samples fit 16 bits too (at most 8 x 255).
constexpr int32_t kByteWeights[6][4] = {
    // out2 (e13, e12), out6 (e13, e12)
    {int32_t(kByteOne + kByteR707), int32_t(kByteR707), 0, 0},
    {int32_t(kByteOne - kByteR707), -int32_t(kByteR707), 0, 0},
    // out1, out3, out5, out7 (t7, t6, t5, t4), from z11 +- z4 and z13 -+ z2 with m = t6 + t7 - t4 - t5
    {int32_t(kByteOne + kByteR1307 - kByteR383), int32_t(kByteR707 + kByteR1307 - kByteR383),
     int32_t(kByteR707 + kByteR383), int32_t(kByteR383)},
    {int32_t(kByteOne + kByteR383), int32_t(kByteR383) - int32_t(kByteR707),
     -int32_t(kByteR707 + kByteR541 + kByteR383), -int32_t(kByteR541 + kByteR383)},
    {int32_t(kByteOne) - int32_t(kByteR383), -int32_t(kByteR707 + kByteR383),
     int32_t(kByteR541 + kByteR383) - int32_t(kByteR707), int32_t(kByteR541 + kByteR383)},
    {int32_t(kByteOne + kByteR383) - int32_t(kByteR1307), int32_t(kByteR707 + kByteR383) - int32_t(kByteR1307),
     int32_t(kByteR707) - int32_t(kByteR383), -int32_t(kByteR383)},
};

constexpr bool WeightsFitSixteenBits() {
    for (const auto& row : kByteWeights) {
        for (const int32_t weight : row) {
            if (weight % 8 != 0 || weight / 8 < -32768 || weight / 8 > 32767) return false;
        }
    }
    return true;
}
static_assert(WeightsFitSixteenBits());

// A pair of 16-bit weights (lanes 2i and 2i + 1) for _mm_madd_epi16, from the table's eighths.
KV_ALWAYS_INLINE __m128i WeightPair(int32_t first, int32_t second) {
    const uint32_t low = static_cast<uint16_t>(static_cast<int16_t>(first / 8));
    const uint32_t high = static_cast<uint16_t>(static_cast<int16_t>(second / 8));
    return _mm_set1_epi32(static_cast<int32_t>(low | high << 16));
}

// a x first + b x second in 32-bit lanes for the rows of one half (0: rows 0..3, 1: rows 4..7), times 8.
KV_ALWAYS_INLINE __m128i Combine(__m128i a, __m128i b, int half, const int32_t* weights) {
    const __m128i pairs = half == 0 ? _mm_unpacklo_epi16(a, b) : _mm_unpackhi_epi16(a, b);
    return _mm_madd_epi16(pairs, WeightPair(weights[0], weights[1]));
}

// The row pass of eight rows of 8-bit samples; columns[j] holds sample j of rows 0..7. Writes
// work[k][half]: output k of rows 4 x half .. 4 x half + 3.
KV_ALWAYS_INLINE void ByteRowPassLanes(const __m128i* columns, __m128i work[8][2]) {
    const __m128i t0 = _mm_add_epi16(columns[0], columns[7]), t7 = _mm_sub_epi16(columns[0], columns[7]);
    const __m128i t1 = _mm_add_epi16(columns[1], columns[6]), t6 = _mm_sub_epi16(columns[1], columns[6]);
    const __m128i t2 = _mm_add_epi16(columns[2], columns[5]), t5 = _mm_sub_epi16(columns[2], columns[5]);
    const __m128i t3 = _mm_add_epi16(columns[3], columns[4]), t4 = _mm_sub_epi16(columns[3], columns[4]);
    const __m128i e10 = _mm_add_epi16(t0, t3), e13 = _mm_sub_epi16(t0, t3);
    const __m128i e11 = _mm_add_epi16(t1, t2), e12 = _mm_sub_epi16(t1, t2);
    const __m128i sum = _mm_add_epi16(e10, e11), difference = _mm_sub_epi16(e10, e11);
    const __m128i zero = _mm_setzero_si128();
    KV_UNROLL
    for (int half = 0; half < 2; ++half) {
        // x 65536: the 16-bit value into the upper half of each 32-bit lane.
        work[0][half] = half == 0 ? _mm_unpacklo_epi16(zero, sum) : _mm_unpackhi_epi16(zero, sum);
        work[4][half] = half == 0 ? _mm_unpacklo_epi16(zero, difference) : _mm_unpackhi_epi16(zero, difference);
        work[2][half] = _mm_slli_epi32(Combine(e13, e12, half, kByteWeights[0]), 3);
        work[6][half] = _mm_slli_epi32(Combine(e13, e12, half, kByteWeights[1]), 3);
        KV_UNROLL
        for (int odd = 0; odd < 4; ++odd) {
            const int32_t* weights = kByteWeights[2 + odd];
            const __m128i value = _mm_add_epi32(Combine(t7, t6, half, weights), Combine(t5, t4, half, weights + 2));
            work[2 * odd + 1][half] = _mm_slli_epi32(value, 3);
        }
    }
}

inline __m128i Load16(const uint8_t* at) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at)); }

void ForwardDctLanes(int32_t* out, const uint8_t* firstSample, const ComponentInfo* component) {
    const int32_t rowWidth = component->rowWidth;
    const __m128i zero = _mm_setzero_si128();
    __m128i rows[8], columns[8];
    __m128i work[8][2];  // [output k][half]: rows 4 x half .. 4 x half + 3 in the lanes
    if (component->wideSamples) {
        KV_UNROLL
        for (int r = 0; r < 8; ++r) rows[r] = Load16(firstSample + static_cast<std::ptrdiff_t>(r) * rowWidth);
        Transpose8x16(rows, columns);
        KV_UNROLL
        for (int half = 0; half < 2; ++half) {
            RowTransform<true, Lanes>(
                [&](int j) {
                    return Lanes{half == 0 ? _mm_unpacklo_epi16(columns[j], zero) : _mm_unpackhi_epi16(columns[j], zero)};
                },
                [&](int k, Lanes value) { work[k][half] = value.v; });
        }
    } else {
        KV_UNROLL
        for (int r = 0; r < 8; ++r) {
            const __m128i bytes =
                _mm_loadl_epi64(reinterpret_cast<const __m128i*>(firstSample + static_cast<std::ptrdiff_t>(r) * rowWidth));
            rows[r] = _mm_unpacklo_epi8(bytes, zero);
        }
        Transpose8x16(rows, columns);
        ByteRowPassLanes(columns, work);
    }
    // Columns 4g .. 4g + 3 at a time: back to one vector per row, lines[r] holding row r's outputs
    // 4g .. 4g + 3, then the column pass over them.
    KV_UNROLL
    for (int g = 0; g < 2; ++g) {
        __m128i lines[8];
        KV_UNROLL
        for (int half = 0; half < 2; ++half) {
            Transpose4(work[4 * g][half], work[4 * g + 1][half], work[4 * g + 2][half], work[4 * g + 3][half],
                       &lines[4 * half], &lines[4 * half + 1], &lines[4 * half + 2], &lines[4 * half + 3]);
        }
        int32_t* o = out + 4 * g;
        ColumnTransform<Lanes>([&](int j) { return Lanes{lines[j]}; },
                               [o](int u, Lanes value) {
                                   _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 8 * u), value.v);
                               });
    }
}

#if KV_AVX2
// ---- AVX2: eight rows or columns side by side in 32-bit lanes ----
//
// The same transforms as RowTransform<true> and ColumnTransform, written out for eight lanes: the
// shared templates cannot carry AVX2 code (their lambdas and instantiations are compiled without it).
// The products are the low 32 bits of 32-bit lane products, exactly the wrap-around of Times.

KV_ALWAYS_INLINE KV_TARGET_AVX2 __m256i Add8(__m256i a, __m256i b) { return _mm256_add_epi32(a, b); }
KV_ALWAYS_INLINE KV_TARGET_AVX2 __m256i Sub8(__m256i a, __m256i b) { return _mm256_sub_epi32(a, b); }
template <uint32_t Factor>
KV_ALWAYS_INLINE KV_TARGET_AVX2 __m256i Times8(__m256i value) {
    if constexpr (std::has_single_bit(Factor)) {
        return _mm256_slli_epi32(value, std::countr_zero(Factor));
    } else {
        return _mm256_mullo_epi32(value, _mm256_set1_epi32(static_cast<int32_t>(Factor)));
    }
}
template <int Bits>
KV_ALWAYS_INLINE KV_TARGET_AVX2 __m256i Sar8(__m256i value) {
    return _mm256_srai_epi32(value, Bits);
}

// The butterfly stages of Butterfly for eight lanes.
struct Butterfly8 {
    __m256i t7, e10, e11, e12, e13, o10, o11, o12, m;
};
KV_ALWAYS_INLINE KV_TARGET_AVX2 Butterfly8 Butterfly8Of(const __m256i* s) {
    const __m256i t0 = Add8(s[0], s[7]), t7 = Sub8(s[0], s[7]);
    const __m256i t1 = Add8(s[1], s[6]), t6 = Sub8(s[1], s[6]);
    const __m256i t2 = Add8(s[2], s[5]), t5 = Sub8(s[2], s[5]);
    const __m256i t3 = Add8(s[3], s[4]), t4 = Sub8(s[3], s[4]);
    const __m256i o10 = Add8(t4, t5), o12 = Add8(t6, t7);
    return {t7, Add8(t0, t3), Add8(t1, t2), Sub8(t1, t2), Sub8(t0, t3), o10, Add8(t5, t6), o12, Sub8(o12, o10)};
}

// StoreOutputs for eight lanes: out[k] is output k.
KV_ALWAYS_INLINE KV_TARGET_AVX2 void Outputs8(__m256i* out, __m256i out0, __m256i out4, __m256i e13, __m256i z1,
                                              __m256i t7, __m256i z2, __m256i z3, __m256i z4) {
    const __m256i z11 = Add8(t7, z3), z13 = Sub8(t7, z3);
    out[0] = out0;
    out[4] = out4;
    out[2] = Add8(e13, z1);
    out[6] = Sub8(e13, z1);
    out[1] = Add8(z11, z4);
    out[3] = Sub8(z13, z2);
    out[5] = Add8(z13, z2);
    out[7] = Sub8(z11, z4);
}

// RowTransform<true>: the row pass of 8.8 samples.
KV_ALWAYS_INLINE KV_TARGET_AVX2 void WideRowTransform8(const __m256i* s, __m256i* out) {
    const Butterfly8 b = Butterfly8Of(s);
    const __m256i z1 = Times8<kWideR707>(Add8(b.e12, b.e13));
    const __m256i z3 = Times8<kWideR707>(b.o11);
    const __m256i z5 = Sub8(Times8<kWideR383>(b.m), Sar8<5>(b.m));
    const __m256i z2 = Sub8(Add8(Times8<kWideR541>(b.o10), Sar8<5>(Times8<17>(b.o10))), z5);
    const __m256i z4 = Sub8(Sub8(Sub8(Times8<kWideR1307>(b.o12), b.o12), Sar8<1>(b.o12)), z5);
    Outputs8(out, Times8<kWideOne>(Add8(b.e10, b.e11)), Times8<kWideOne>(Sub8(b.e10, b.e11)), Times8<kWideOne>(b.e13),
             z1, Times8<kWideOne>(b.t7), z2, z3, z4);
}

// RowTransform<false>: the row pass of 8-bit samples.
KV_ALWAYS_INLINE KV_TARGET_AVX2 void ByteRowTransform8(const __m256i* s, __m256i* out) {
    const Butterfly8 b = Butterfly8Of(s);
    const __m256i z1 = Times8<kByteR707>(Add8(b.e12, b.e13));
    const __m256i z3 = Times8<kByteR707>(b.o11);
    const __m256i z5 = Times8<kByteR383>(b.m);
    const __m256i z2 = Sub8(Times8<kByteR541>(b.o10), z5);
    const __m256i z4 = Sub8(Times8<kByteR1307>(b.o12), z5);
    Outputs8(out, Times8<kByteOne>(Add8(b.e10, b.e11)), Times8<kByteOne>(Sub8(b.e10, b.e11)), Times8<kByteOne>(b.e13),
             z1, Times8<kByteOne>(b.t7), z2, z3, z4);
}

// Multiply707 for eight lanes.
KV_ALWAYS_INLINE KV_TARGET_AVX2 __m256i Multiply707x8(__m256i x) {
    const __m256i y = Add8(x, Sar8<2>(x));
    return Sar8<1>(Add8(y, Sar8<3>(Add8(y, Sar8<4>(x)))));
}

// ColumnTransform for eight lanes.
KV_ALWAYS_INLINE KV_TARGET_AVX2 void ColumnTransform8(const __m256i* s, __m256i* out) {
    const Butterfly8 b = Butterfly8Of(s);
    const __m256i z1 = Multiply707x8(Add8(b.e12, b.e13));
    const __m256i z3 = Multiply707x8(b.o11);
    const __m256i z5 = Add8(Sar8<1>(Sub8(b.m, Sar8<2>(b.m))), Sar8<7>(Sub8(b.m, Sar8<6>(b.m))));
    const __m256i a = Add8(b.o10, Sar8<4>(b.o10));
    const __m256i z2 = Sub8(Sar8<1>(Add8(a, Sar8<6>(Add8(b.o10, Sar8<2>(a))))), z5);
    const __m256i z4 = Sub8(Sub8(Add8(Add8(b.o12, Sar8<2>(b.o12)), Sar8<4>(b.o12)), Sar8<7>(Sub8(b.o12, Sar8<2>(b.o12)))), z5);
    Outputs8(out, Add8(b.e10, b.e11), Sub8(b.e10, b.e11), b.e13, z1, b.t7, z2, z3, z4);
}

// The block of 8.8 samples: rows transposed into columns (sample j of rows 0..7 in the lanes), the row
// pass, back to one vector per row, the column pass; outputs stored row by row in natural order.
KV_TARGET_AVX2 void WideForwardDctAvx2(int32_t* out, const uint8_t* firstSample, int32_t rowWidth) {
    __m128i rows[8], columns[8];
    KV_UNROLL
    for (int r = 0; r < 8; ++r) rows[r] = Load16(firstSample + static_cast<std::ptrdiff_t>(r) * rowWidth);
    Transpose8x16(rows, columns);
    __m256i samples[8], work[8], lines[8], outputs[8];
    KV_UNROLL
    for (int j = 0; j < 8; ++j) samples[j] = _mm256_cvtepu16_epi32(columns[j]);
    WideRowTransform8(samples, work);
    simd::Transpose8x32(work, lines);
    ColumnTransform8(lines, outputs);
    KV_UNROLL
    for (int u = 0; u < 8; ++u) _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 8 * u), outputs[u]);
}
#endif

// Zig-zag position -> natural index (as ZigzagToNatural), known at compile time.
constexpr uint8_t kZigzag[64] = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48,
    41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23,
    30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63,
};

// Natural index -> zig-zag position, the inverse of kZigzag, and that position's bit in a block's
// nonzero cells (one OR per significant position instead of a shift of 1 and an OR).
struct NaturalOrder {
    uint64_t bit[64];
    uint8_t zigzag[64];
};
constexpr NaturalOrder InvertZigzag() {
    NaturalOrder order{};
    for (int k = 0; k < 64; ++k) {
        order.zigzag[kZigzag[k]] = static_cast<uint8_t>(k);
        order.bit[kZigzag[k]] = uint64_t{1} << k;
    }
    return order;
}
constexpr NaturalOrder kNatural = InvertZigzag();
constexpr bool InvertsZigzag() {
    uint64_t all = 0;
    for (int k = 0; k < 64; ++k) {
        if (kNatural.zigzag[kZigzag[k]] != k || kNatural.bit[kZigzag[k]] >> k != 1) return false;
        all |= kNatural.bit[k];
    }
    return all == ~uint64_t{0};
}
static_assert(InvertsZigzag(), "kZigzag is a permutation of 0..63");

// Insignificance of natural positions n .. n + 3 as all-ones lanes: value + t below 2t, unsigned
// (the comparison is signed, so both sides have their top bit flipped).
KV_ALWAYS_INLINE __m128i InsignificantLanes(const int32_t* dct, const uint32_t* thresholds, int n) {
    const __m128i flip = _mm_set1_epi32(INT32_MIN);
    const __m128i threshold = _mm_loadu_si128(reinterpret_cast<const __m128i*>(thresholds + n));
    const __m128i value = _mm_loadu_si128(reinterpret_cast<const __m128i*>(dct + n));
    const __m128i shifted = _mm_xor_si128(_mm_add_epi32(value, threshold), flip);
    const __m128i limit = _mm_xor_si128(_mm_add_epi32(threshold, threshold), flip);
    return _mm_cmplt_epi32(shifted, limit);
}

// The significance test of all 64 positions runs four at a time in natural order; only the
// significant positions, usually a few, are then divided one by one as in the portable form, each
// into its zig-zag place, and L is the highest of those places.
// Bit n set: natural position n insignificant; 16 positions per mask of packed comparisons.
uint64_t InsignificantMask(const int32_t* dct, const uint32_t* thresholds) {
    uint64_t insignificant = 0;
    KV_UNROLL
    for (int n = 0; n < 64; n += 16) {
        const __m128i low = _mm_packs_epi32(InsignificantLanes(dct, thresholds, n),
                                            InsignificantLanes(dct, thresholds, n + 4));
        const __m128i high = _mm_packs_epi32(InsignificantLanes(dct, thresholds, n + 8),
                                             InsignificantLanes(dct, thresholds, n + 12));
        const uint32_t bits = static_cast<uint32_t>(_mm_movemask_epi8(_mm_packs_epi16(low, high)));
        insignificant |= static_cast<uint64_t>(bits) << n;
    }
    return insignificant;
}

#if KV_AVX2
// Significance of eight values with their thresholds as all-ones lanes: value + t at least 2t,
// unsigned (AVX2 has an unsigned maximum, so no flipped top bits as in InsignificantLanes).
KV_ALWAYS_INLINE KV_TARGET_AVX2 __m256i SignificantOf(__m256i value, __m256i threshold, __m256i limit) {
    const __m256i shifted = _mm256_add_epi32(value, threshold);
    return _mm256_cmpeq_epi32(_mm256_max_epu32(shifted, limit), shifted);
}
KV_ALWAYS_INLINE KV_TARGET_AVX2 __m256i SignificantOf(__m256i value, __m256i threshold) {
    return SignificantOf(value, threshold, _mm256_add_epi32(threshold, threshold));
}

// Significance of natural positions n .. n + 7.
KV_ALWAYS_INLINE KV_TARGET_AVX2 __m256i SignificantEight(const int32_t* dct, const uint32_t* thresholds, int n) {
    return SignificantOf(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(dct + n)),
                         _mm256_loadu_si256(reinterpret_cast<const __m256i*>(thresholds + n)));
}

// Bits 0..63 of the all-ones or all-zero lanes of eight vectors of eight (vector r: bits 8r .. 8r + 7).
KV_ALWAYS_INLINE KV_TARGET_AVX2 uint64_t MaskOfLanes(const __m256i* lanes) {
    // The packs work within 128-bit halves: groups of four positions come out as 0 2 4 6 1 3 5 7
    // (in 32-bit units of bytes), which the permutation puts in order.
    const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    uint64_t mask = 0;
    for (int r = 0; r < 8; r += 4) {
        const __m256i packed = _mm256_packs_epi16(_mm256_packs_epi32(lanes[r], lanes[r + 1]),
                                                  _mm256_packs_epi32(lanes[r + 2], lanes[r + 3]));
        const __m256i ordered = _mm256_permutevar8x32_epi32(packed, order);
        mask |= static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(ordered))) << (8 * r);
    }
    return mask;
}

// The complement of InsignificantMask, eight positions at a time (AVX2): bit n set where natural
// position n is significant.
KV_TARGET_AVX2 uint64_t SignificantMaskAvx2(const int32_t* dct, const uint32_t* thresholds) {
    __m256i lanes[8];
    for (int r = 0; r < 8; ++r) lanes[r] = SignificantEight(dct, thresholds, 8 * r);
    return MaskOfLanes(lanes);
}
#endif

// Quantises the positions whose bits are set in `significant` (natural order; never bit 0) and DC into
// their zig-zag places, leaving the other cells as they are; answers those places (but 0) as the nonzero
// ones, and the highest. A significant value is never quantised to 0 while each stored quantiser is at
// most the threshold-deciding one, as the encoder's tables are: the magnitude is then at least the
// divisor D, and (magnitude + D) / 2D at least 1.
KV_ALWAYS_INLINE QuantisedBlock QuantiseSignificant(const CodecContext* context, int table, const int32_t* dct,
                                                    uint64_t significant, int16_t* coefficients) {
    const uint32_t* divisors = context->divisors[table];
    const uint32_t* reciprocals = context->reciprocals[table];
    const uint8_t* shifts = context->reciprocalShifts[table];
    coefficients[0] = QuantiseByReciprocal(dct[0], divisors[0], reciprocals[0], shifts[0]);
    uint64_t places = 1;
    while (significant != 0) {
        const int n = std::countr_zero(significant);
        significant &= significant - 1;
        const int k = kNatural.zigzag[n];
        coefficients[k] = QuantiseByReciprocal(dct[n], divisors[k], reciprocals[k], shifts[k]);
        places |= kNatural.bit[n];
    }
    return {places & ~uint64_t{1}, 63 - std::countl_zero(places)};
}

// Clears a block of 64 coefficients with vector stores: a call of memset (or a string store) costs more
// for 128 bytes.
KV_ALWAYS_INLINE void ClearBlock(int16_t* coefficients) {
    KV_UNROLL
    for (int k = 0; k < 64; k += 8) _mm_storeu_si128(reinterpret_cast<__m128i*>(coefficients + k), _mm_setzero_si128());
}

#if KV_AVX2
// The column pass, the level shift, the significance test on the outputs while they are in registers,
// and the quantisation, from the row pass's outputs (work[k]: output k of rows 0..7).
KV_ALWAYS_INLINE KV_TARGET_AVX2 QuantisedBlock ColumnsAndQuantise(CodecContext* context, int16_t* coefficients,
                                                                 const __m256i* work, int table) {
    __m256i lines[8], outputs[8];
    simd::Transpose8x32(work, lines);
    ColumnTransform8(lines, outputs);
    outputs[0] = _mm256_add_epi32(outputs[0], _mm256_setr_epi32(static_cast<int32_t>(kLevelShift), 0, 0, 0, 0, 0, 0, 0));
    const uint32_t* thresholds = context->thresholds[table];
    alignas(32) int32_t dct[64];
    __m256i significantLanes[8];
    KV_UNROLL
    for (int u = 0; u < 8; ++u) {
        _mm256_store_si256(reinterpret_cast<__m256i*>(dct + 8 * u), outputs[u]);
        significantLanes[u] =
            SignificantOf(outputs[u], _mm256_loadu_si256(reinterpret_cast<const __m256i*>(thresholds + 8 * u)));
    }
    const uint64_t significant = MaskOfLanes(significantLanes) & ~uint64_t{1};
    return QuantiseSignificant(context, table, dct, significant, coefficients);
}

// The row pass of a block of 8.8 samples: each row widened to 32-bit lanes as it is loaded, then
// turned into columns; work[k] is output k of rows 0..7.
KV_ALWAYS_INLINE KV_TARGET_AVX2 void WideRowsAvx2(const uint8_t* firstSample, int32_t rowWidth, __m256i* work) {
    __m256i rows[8], samples[8];
    KV_UNROLL
    for (int r = 0; r < 8; ++r) {
        rows[r] = _mm256_cvtepu16_epi32(Load16(firstSample + static_cast<std::ptrdiff_t>(r) * rowWidth));
    }
    simd::Transpose8x32(rows, samples);
    WideRowTransform8(samples, work);
}

// The same for a block of 8-bit samples.
KV_ALWAYS_INLINE KV_TARGET_AVX2 void ByteRowsAvx2(const uint8_t* firstSample, int32_t rowWidth, __m256i* work) {
    __m256i rows[8], samples[8];
    KV_UNROLL
    for (int r = 0; r < 8; ++r) {
        const uint8_t* row = firstSample + static_cast<std::ptrdiff_t>(r) * rowWidth;
        rows[r] = _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(row)));
    }
    simd::Transpose8x32(rows, samples);
    ByteRowTransform8(samples, work);
}

// ForwardDct and QuantiseBlock of a block of 8.8 samples in one.
KV_TARGET_AVX2 QuantisedBlock WideTransformQuantiseAvx2(CodecContext* context, int16_t* coefficients,
                                                        const uint8_t* firstSample, const ComponentInfo* component) {
    __m256i work[8];
    WideRowsAvx2(firstSample, component->rowWidth, work);
    return ColumnsAndQuantise(context, coefficients, work, component->quantTable);
}

// The same for a block of 8-bit samples.
KV_TARGET_AVX2 QuantisedBlock ByteTransformQuantiseAvx2(CodecContext* context, int16_t* coefficients,
                                                        const uint8_t* firstSample, const ComponentInfo* component) {
    __m256i work[8];
    ByteRowsAvx2(firstSample, component->rowWidth, work);
    return ColumnsAndQuantise(context, coefficients, work, component->quantTable);
}

// Quantises every position of a block at once, for blocks with many significant positions: each
// magnitude plus its divisor times the reciprocal (the high halves of 32 x 32-bit products, even and
// odd lanes apart), halved and added as in DivideByReciprocal without leaving 32 bits ((n + h) / 2 =
// h + (n - h) / 2), shifted by the shift less one, the sign put back; then DC and the significant
// positions copied into their zig-zag places. The same quotients as QuantiseSignificant.
KV_TARGET_AVX2 QuantisedBlock QuantiseDense(const int32_t* dct, uint64_t significant, const NaturalDivisors* natural,
                                            int16_t* coefficients) {
    alignas(32) int16_t quotients[64];
    // The low 16 bits of each quotient, as the int16_t cells of the other forms keep them.
    const __m256i lowHalves = _mm256_set1_epi32(0xFFFF);
    __m256i previous = lowHalves;
    KV_UNROLL
    for (int u = 0; u < 8; ++u) {
        const __m256i value = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(dct + 8 * u));
        const __m256i divisor = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(natural->divisors + 8 * u));
        const __m256i reciprocal = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(natural->reciprocals + 8 * u));
        const __m256i shift = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(natural->shifts + 8 * u));
        const __m256i n = _mm256_add_epi32(_mm256_abs_epi32(value), divisor);
        const __m256i even = _mm256_srli_epi64(_mm256_mul_epu32(n, reciprocal), 32);
        const __m256i odd = _mm256_mul_epu32(_mm256_srli_epi64(n, 32), _mm256_srli_epi64(reciprocal, 32));
        const __m256i high = _mm256_blend_epi32(even, odd, 0xAA);
        const __m256i halved = _mm256_add_epi32(_mm256_srli_epi32(_mm256_sub_epi32(n, high), 1), high);
        const __m256i quotient =
            _mm256_and_si256(_mm256_sign_epi32(_mm256_srlv_epi32(halved, shift), value), lowHalves);
        if (u % 2 == 1) {
            // Rows u - 1 and u: the pack interleaves the 128-bit halves, the permutation restores them.
            const __m256i rows = _mm256_permute4x64_epi64(_mm256_packus_epi32(previous, quotient), 0xD8);
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(quotients + 8 * (u - 1)), rows);
        }
        previous = quotient;
    }
    coefficients[0] = quotients[0];
    uint64_t places = 1;
    while (significant != 0) {
        const int n = std::countr_zero(significant);
        significant &= significant - 1;
        const int k = kNatural.zigzag[n];
        coefficients[k] = quotients[n];
        places |= kNatural.bit[n];
    }
    return {places & ~uint64_t{1}, 63 - std::countl_zero(places)};
}

// Blocks with more significant positions than this are quantised whole (QuantiseDense); the others
// position by position, which costs less for a few.
constexpr int kDenseBlock = 10;

// ColumnsAndQuantise with the choice between the two quantisations.
KV_ALWAYS_INLINE KV_TARGET_AVX2 QuantisedBlock ColumnsAndQuantiseRun(CodecContext* context, int16_t* coefficients,
                                                                    const __m256i* work, int table,
                                                                    const NaturalDivisors* natural) {
    __m256i lines[8], outputs[8];
    simd::Transpose8x32(work, lines);
    ColumnTransform8(lines, outputs);
    outputs[0] = _mm256_add_epi32(outputs[0], _mm256_setr_epi32(static_cast<int32_t>(kLevelShift), 0, 0, 0, 0, 0, 0, 0));
    // The thresholds and their doubles as the row's table holds them: no doubling per block.
    alignas(32) int32_t dct[64];
    __m256i significantLanes[8];
    KV_UNROLL
    for (int u = 0; u < 8; ++u) {
        _mm256_store_si256(reinterpret_cast<__m256i*>(dct + 8 * u), outputs[u]);
        significantLanes[u] = SignificantOf(
            outputs[u], _mm256_loadu_si256(reinterpret_cast<const __m256i*>(natural->thresholds + 8 * u)),
            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(natural->doubledThresholds + 8 * u)));
    }
    const uint64_t significant = MaskOfLanes(significantLanes) & ~uint64_t{1};
    if (std::popcount(significant) > kDenseBlock) return QuantiseDense(dct, significant, natural, coefficients);
    return QuantiseSignificant(context, table, dct, significant, coefficients);
}

// The run forms: one call for blocks side by side, so that neither the call nor the set-up of the
// constants is paid per block.
KV_TARGET_AVX2 void WideRunAvx2(CodecContext* context, const ComponentInfo* component, const NaturalDivisors* natural,
                                const uint8_t* firstSample, int count, int16_t (*cells)[64], QuantisedBlock* out) {
    for (int j = 0; j < count; ++j) {
        __m256i work[8];
        WideRowsAvx2(firstSample + 16 * static_cast<std::ptrdiff_t>(j), component->rowWidth, work);
        out[j] = ColumnsAndQuantiseRun(context, cells[j], work, component->quantTable, natural);
    }
}

KV_TARGET_AVX2 void ByteRunAvx2(CodecContext* context, const ComponentInfo* component, const NaturalDivisors* natural,
                                const uint8_t* firstSample, int count, int16_t (*cells)[64], QuantisedBlock* out) {
    for (int j = 0; j < count; ++j) {
        __m256i work[8];
        ByteRowsAvx2(firstSample + 8 * static_cast<std::ptrdiff_t>(j), component->rowWidth, work);
        out[j] = ColumnsAndQuantiseRun(context, cells[j], work, component->quantTable, natural);
    }
}

// ---- AVX-512: two blocks side by side ----
//
// GCC 12's AVX-512 headers start several intrinsics from a deliberately undefined vector, which its
// maybe-uninitialized warning mistakes for a fault once they are inlined here.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
//
// The run forms once more for two neighbouring blocks at a time: every 512-bit vector holds the first
// block's eight lanes in its low half and the second block's in its high half, so each operation of
// the transforms serves both. Then every position of both blocks is quantised at once (as in
// QuantiseDense), the quotients' low 16 bits packed and put into zig-zag order by two word
// permutations per block; the nonzero cells are tested in that order.

KV_ALWAYS_INLINE KV_TARGET_AVX512 __m512i Add16(__m512i a, __m512i b) { return _mm512_add_epi32(a, b); }
KV_ALWAYS_INLINE KV_TARGET_AVX512 __m512i Sub16(__m512i a, __m512i b) { return _mm512_sub_epi32(a, b); }
template <uint32_t Factor>
KV_ALWAYS_INLINE KV_TARGET_AVX512 __m512i Times16(__m512i value) {
    if constexpr (std::has_single_bit(Factor)) {
        return _mm512_slli_epi32(value, std::countr_zero(Factor));
    } else {
        return _mm512_mullo_epi32(value, _mm512_set1_epi32(static_cast<int32_t>(Factor)));
    }
}
template <int Bits>
KV_ALWAYS_INLINE KV_TARGET_AVX512 __m512i Sar16(__m512i value) {
    return _mm512_srai_epi32(value, Bits);
}

// Butterfly8Of for sixteen lanes.
struct Butterfly16 {
    __m512i t7, e10, e11, e12, e13, o10, o11, o12, m;
};
KV_ALWAYS_INLINE KV_TARGET_AVX512 Butterfly16 Butterfly16Of(const __m512i* s) {
    const __m512i t0 = Add16(s[0], s[7]), t7 = Sub16(s[0], s[7]);
    const __m512i t1 = Add16(s[1], s[6]), t6 = Sub16(s[1], s[6]);
    const __m512i t2 = Add16(s[2], s[5]), t5 = Sub16(s[2], s[5]);
    const __m512i t3 = Add16(s[3], s[4]), t4 = Sub16(s[3], s[4]);
    const __m512i o10 = Add16(t4, t5), o12 = Add16(t6, t7);
    return {t7, Add16(t0, t3), Add16(t1, t2), Sub16(t1, t2), Sub16(t0, t3), o10, Add16(t5, t6), o12, Sub16(o12, o10)};
}

// Outputs8 for sixteen lanes.
KV_ALWAYS_INLINE KV_TARGET_AVX512 void Outputs16(__m512i* out, __m512i out0, __m512i out4, __m512i e13, __m512i z1,
                                                 __m512i t7, __m512i z2, __m512i z3, __m512i z4) {
    const __m512i z11 = Add16(t7, z3), z13 = Sub16(t7, z3);
    out[0] = out0;
    out[4] = out4;
    out[2] = Add16(e13, z1);
    out[6] = Sub16(e13, z1);
    out[1] = Add16(z11, z4);
    out[3] = Sub16(z13, z2);
    out[5] = Add16(z13, z2);
    out[7] = Sub16(z11, z4);
}

// WideRowTransform8 and ByteRowTransform8 for sixteen lanes.
KV_ALWAYS_INLINE KV_TARGET_AVX512 void WideRowTransform16(const __m512i* s, __m512i* out) {
    const Butterfly16 b = Butterfly16Of(s);
    const __m512i z1 = Times16<kWideR707>(Add16(b.e12, b.e13));
    const __m512i z3 = Times16<kWideR707>(b.o11);
    const __m512i z5 = Sub16(Times16<kWideR383>(b.m), Sar16<5>(b.m));
    const __m512i z2 = Sub16(Add16(Times16<kWideR541>(b.o10), Sar16<5>(Times16<17>(b.o10))), z5);
    const __m512i z4 = Sub16(Sub16(Sub16(Times16<kWideR1307>(b.o12), b.o12), Sar16<1>(b.o12)), z5);
    Outputs16(out, Times16<kWideOne>(Add16(b.e10, b.e11)), Times16<kWideOne>(Sub16(b.e10, b.e11)),
              Times16<kWideOne>(b.e13), z1, Times16<kWideOne>(b.t7), z2, z3, z4);
}
KV_ALWAYS_INLINE KV_TARGET_AVX512 void ByteRowTransform16(const __m512i* s, __m512i* out) {
    const Butterfly16 b = Butterfly16Of(s);
    const __m512i z1 = Times16<kByteR707>(Add16(b.e12, b.e13));
    const __m512i z3 = Times16<kByteR707>(b.o11);
    const __m512i z5 = Times16<kByteR383>(b.m);
    const __m512i z2 = Sub16(Times16<kByteR541>(b.o10), z5);
    const __m512i z4 = Sub16(Times16<kByteR1307>(b.o12), z5);
    Outputs16(out, Times16<kByteOne>(Add16(b.e10, b.e11)), Times16<kByteOne>(Sub16(b.e10, b.e11)),
              Times16<kByteOne>(b.e13), z1, Times16<kByteOne>(b.t7), z2, z3, z4);
}

// Multiply707x8 and ColumnTransform8 for sixteen lanes.
KV_ALWAYS_INLINE KV_TARGET_AVX512 __m512i Multiply707x16(__m512i x) {
    const __m512i y = Add16(x, Sar16<2>(x));
    return Sar16<1>(Add16(y, Sar16<3>(Add16(y, Sar16<4>(x)))));
}
KV_ALWAYS_INLINE KV_TARGET_AVX512 void ColumnTransform16(const __m512i* s, __m512i* out) {
    const Butterfly16 b = Butterfly16Of(s);
    const __m512i z1 = Multiply707x16(Add16(b.e12, b.e13));
    const __m512i z3 = Multiply707x16(b.o11);
    const __m512i z5 = Add16(Sar16<1>(Sub16(b.m, Sar16<2>(b.m))), Sar16<7>(Sub16(b.m, Sar16<6>(b.m))));
    const __m512i a = Add16(b.o10, Sar16<4>(b.o10));
    const __m512i z2 = Sub16(Sar16<1>(Add16(a, Sar16<6>(Add16(b.o10, Sar16<2>(a))))), z5);
    const __m512i z4 =
        Sub16(Sub16(Add16(Add16(b.o12, Sar16<2>(b.o12)), Sar16<4>(b.o12)), Sar16<7>(Sub16(b.o12, Sar16<2>(b.o12)))), z5);
    Outputs16(out, Add16(b.e10, b.e11), Sub16(b.e10, b.e11), b.e13, z1, b.t7, z2, z3, z4);
}

// Where natural position n of a block lands in the two vectors QuantisePair packs it into (0..31 the
// first, 32..63 the second): rows 2p and 2p + 1 go through one pack of 32-bit lanes, which works in
// 128-bit lanes (four positions of row 2p, then the same four of row 2p + 1), and the packs of rows
// 0..3 and 4..7 are then joined per block. The word index of zig-zag position k's value, for
// _mm512_permutex2var_epi16 (32..63 address the second vector).
struct PackedZigzag {
    alignas(64) int16_t index[64];
};
constexpr int PackedPlace(int n) {
    const int row = n / 8, column = n % 8, pair = row / 2;
    return (pair / 2) * 32 + ((pair % 2) * 2 + column / 4) * 8 + (row % 2) * 4 + column % 4;
}
constexpr PackedZigzag MakePackedZigzag() {
    PackedZigzag order{};
    for (int k = 0; k < 64; ++k) order.index[k] = static_cast<int16_t>(PackedPlace(kZigzag[k]));
    return order;
}
constexpr PackedZigzag kPackedZigzag = MakePackedZigzag();
constexpr bool PackedPlacesArePermutation() {
    uint64_t all = 0;
    for (int n = 0; n < 64; ++n) all |= uint64_t{1} << PackedPlace(n);
    return all == ~uint64_t{0} && PackedPlace(8) == 4 && PackedPlace(4) == 8 && PackedPlace(16) == 16 && PackedPlace(32) == 32;
}
static_assert(PackedPlacesArePermutation(), "every natural position has its own packed place");

// Row u of one of the row's tables for both blocks (NaturalDivisors::both).
KV_ALWAYS_INLINE KV_TARGET_AVX512 __m512i BothHalves(const uint32_t* table, int u) {
    return _mm512_load_si512(table + 16 * u);
}

// One block's packed quotients (rows 0..3 in low, 4..7 in high) into zig-zag order in coefficients;
// answers the nonzero cells and L.
KV_ALWAYS_INLINE KV_TARGET_AVX512 QuantisedBlock StoreZigzag(__m512i low, __m512i high, int16_t* coefficients) {
    const __m512i first = _mm512_permutex2var_epi16(low, _mm512_load_si512(kPackedZigzag.index), high);
    const __m512i second = _mm512_permutex2var_epi16(low, _mm512_load_si512(kPackedZigzag.index + 32), high);
    _mm512_storeu_si512(coefficients, first);
    _mm512_storeu_si512(coefficients + 32, second);
    const uint64_t nonzero = static_cast<uint64_t>(_mm512_test_epi16_mask(second, second)) << 32 |
                             static_cast<uint32_t>(_mm512_test_epi16_mask(first, first));
    return {nonzero & ~uint64_t{1}, 63 - std::countl_zero(nonzero | 1)};
}

// Quantises the transformed pair (outputs[u]: natural row u of both blocks) into cells[0] and, with
// Both, cells[1]. Each quotient is that of QuantiseDense; an insignificant position gives 0 (DC is
// always quantised). A significant position never quantises to 0 under the encoder's tables (see
// QuantiseSignificant), so the nonzero cells are the significant positions as in the other forms.
template <bool Both>
KV_ALWAYS_INLINE KV_TARGET_AVX512 void QuantisePair(const __m512i* outputs, const NaturalDivisors* natural,
                                                    int16_t (*cells)[64], QuantisedBlock* out) {
    const __m512i lowHalves = _mm512_set1_epi32(0xFFFF);
    const __m512i zero = _mm512_setzero_si512();
    const NaturalDivisors::BothBlocks& both = natural->both;
    __m512i packed[4], previous = zero;
    KV_UNROLL
    for (int u = 0; u < 8; ++u) {
        const __m512i value = outputs[u];
        __mmask16 significant = _mm512_cmpge_epu32_mask(_mm512_add_epi32(value, BothHalves(both.thresholds, u)),
                                                        BothHalves(both.doubledThresholds, u));
        if (u == 0) significant |= 0x0101;
        const __m512i n = _mm512_add_epi32(_mm512_abs_epi32(value), BothHalves(both.divisors, u));
        const __m512i even = _mm512_srli_epi64(_mm512_mul_epu32(n, BothHalves(both.reciprocals, u)), 32);
        const __m512i odd = _mm512_mul_epu32(_mm512_srli_epi64(n, 32), BothHalves(both.oddReciprocals, u));
        const __m512i high = _mm512_mask_mov_epi32(even, 0xAAAA, odd);
        const __m512i halved = _mm512_add_epi32(_mm512_srli_epi32(_mm512_sub_epi32(n, high), 1), high);
        const __m512i magnitude = _mm512_srlv_epi32(halved, BothHalves(both.shifts, u));
        const __m512i quotient =
            _mm512_mask_sub_epi32(magnitude, _mm512_cmplt_epi32_mask(value, zero), zero, magnitude);
        const __m512i kept = _mm512_maskz_and_epi32(significant, quotient, lowHalves);
        if (u % 2 == 1) packed[u / 2] = _mm512_packus_epi32(previous, kept);
        previous = kept;
    }
    out[0] = StoreZigzag(_mm512_shuffle_i64x2(packed[0], packed[1], 0x44), _mm512_shuffle_i64x2(packed[2], packed[3], 0x44),
                         cells[0]);
    if constexpr (Both) {
        out[1] = StoreZigzag(_mm512_shuffle_i64x2(packed[0], packed[1], 0xEE),
                             _mm512_shuffle_i64x2(packed[2], packed[3], 0xEE), cells[1]);
    }
}

// Transforms and quantises the blocks at firstSample and after it (only the first without Both: then
// nothing of the second is read).
template <bool Wide, bool Both>
KV_ALWAYS_INLINE KV_TARGET_AVX512 void PairAvx512(const uint8_t* firstSample, int32_t rowWidth,
                                                  const NaturalDivisors* natural, int16_t (*cells)[64],
                                                  QuantisedBlock* out) {
    __m512i rows[8], work[8];
    KV_UNROLL
    for (int r = 0; r < 8; ++r) {
        const uint8_t* row = firstSample + static_cast<std::ptrdiff_t>(r) * rowWidth;
        if constexpr (Wide) {
            const __m256i samples = Both ? _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row))
                                         : _mm256_zextsi128_si256(Load16(row));
            rows[r] = _mm512_cvtepu16_epi32(samples);
        } else {
            const __m128i samples = Both ? Load16(row) : _mm_loadl_epi64(reinterpret_cast<const __m128i*>(row));
            rows[r] = _mm512_cvtepu8_epi32(samples);
        }
    }
    simd::Transpose8x32Pairs(rows, rows);
    if constexpr (Wide) {
        WideRowTransform16(rows, work);
    } else {
        ByteRowTransform16(rows, work);
    }
    __m512i outputs[8];
    simd::Transpose8x32Pairs(work, rows);
    ColumnTransform16(rows, outputs);
    outputs[0] = _mm512_mask_add_epi32(outputs[0], 0x0101, outputs[0], _mm512_set1_epi32(static_cast<int32_t>(kLevelShift)));
    QuantisePair<Both>(outputs, natural, cells, out);
}

template <bool Wide>
KV_TARGET_AVX512 void RunAvx512(CodecContext* context, const ComponentInfo* component, const NaturalDivisors* natural,
                                const uint8_t* firstSample, int count, int16_t (*cells)[64], QuantisedBlock* out) {
    static_cast<void>(context);
    constexpr std::ptrdiff_t kBlockBytes = Wide ? 16 : 8;
    int j = 0;
    for (; j + 2 <= count; j += 2) {
        PairAvx512<Wide, true>(firstSample + kBlockBytes * j, component->rowWidth, natural, cells + j, out + j);
    }
    if (j < count) PairAvx512<Wide, false>(firstSample + kBlockBytes * j, component->rowWidth, natural, cells + j, out + j);
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#endif

int QuantiseBlockLanes(CodecContext* context, const int32_t* dct, int16_t* coefficients, int table) {
    const uint32_t* thresholds = context->thresholds[table];
#if KV_AVX2
    const uint64_t significant =
        simd::HasAvx2() ? SignificantMaskAvx2(dct, thresholds) : ~InsignificantMask(dct, thresholds);
#else
    const uint64_t significant = ~InsignificantMask(dct, thresholds);
#endif
    ClearBlock(coefficients);
    return QuantiseSignificant(context, table, dct, significant & ~uint64_t{1}, coefficients).last;
}
#endif

}  // namespace

void PrepareDivisors(CodecContext* context) {
    for (int table = 0; table < context->quantTableCount; ++table) {
        uint32_t* thresholds = context->thresholds[table];
        uint32_t* divisors = context->divisors[table];
        const uint16_t* stored = context->quant[table].entries;
        for (int k = 0; k < 64; ++k) {
            const uint32_t scale = AanScaleTable[ZigzagToNatural[k]];
            thresholds[ZigzagToNatural[k]] = static_cast<uint32_t>(context->encodingQuant[table][k]) * scale;
            uint64_t divisor = static_cast<uint64_t>(stored[k] != 0 ? stored[k] : 1) * scale;
            if (divisor > kLargestDivisor) divisor = kLargestDivisor;
            divisors[k] = static_cast<uint32_t>(divisor);
        }
        PrepareReciprocals(context, table);
    }
}

void PrepareNaturalDivisors(const CodecContext* context, int table, NaturalDivisors* natural) {
    for (int k = 0; k < 64; ++k) {
        const int n = kZigzag[k];
        natural->divisors[n] = context->divisors[table][k];
        natural->reciprocals[n] = context->reciprocals[table][k];
        natural->shifts[n] = context->reciprocalShifts[table][k] - 1u;
        natural->thresholds[k] = context->thresholds[table][k];
        natural->doubledThresholds[k] = 2 * context->thresholds[table][k];
    }
#if KV_AVX2
    // Only the AVX-512 form reads these.
    if (!simd::HasAvx512()) return;
    NaturalDivisors::BothBlocks& both = natural->both;
    for (int i = 0; i < 128; ++i) {
        const int n = i / 16 * 8 + i % 8;
        both.divisors[i] = natural->divisors[n];
        both.reciprocals[i] = natural->reciprocals[n];
        both.oddReciprocals[i] = natural->reciprocals[n | 1];
        both.shifts[i] = natural->shifts[n];
        both.thresholds[i] = natural->thresholds[n];
        both.doubledThresholds[i] = natural->doubledThresholds[n];
    }
#endif
}

void PrepareReciprocals(CodecContext* context, int table) {
    for (int k = 0; k < 64; ++k) {
        const uint64_t doubled = uint64_t{2} * context->divisors[table][k];
        const int shift = std::bit_width(doubled - 1);
        const uint64_t reciprocal = (uint64_t{1} << (32 + shift)) / doubled + 1 - (uint64_t{1} << 32);
        context->reciprocals[table][k] = static_cast<uint32_t>(reciprocal);
        context->reciprocalShifts[table][k] = static_cast<uint8_t>(shift);
    }
}

void ForwardDctPortable(CodecContext* context, int32_t* out, const uint8_t* firstSample,
                        const ComponentInfo* component) {
    static_cast<void>(context);
    uint32_t work[64];
    if (component->wideSamples) {
        RowPass<uint16_t>(firstSample, component->rowWidth, work);
    } else {
        RowPass<uint8_t>(firstSample, component->rowWidth, work);
    }
    ColumnPass(work, out);
    out[0] = static_cast<int32_t>(static_cast<uint32_t>(out[0]) + kLevelShift);
}

void ForwardDct(CodecContext* context, int32_t* out, const uint8_t* firstSample, const ComponentInfo* component) {
#if KV_SSE2
    static_cast<void>(context);
#if KV_AVX2
    if (component->wideSamples && simd::HasAvx2()) {
        WideForwardDctAvx2(out, firstSample, component->rowWidth);
    } else {
        ForwardDctLanes(out, firstSample, component);
    }
#else
    ForwardDctLanes(out, firstSample, component);
#endif
    out[0] = static_cast<int32_t>(static_cast<uint32_t>(out[0]) + kLevelShift);
#else
    ForwardDctPortable(context, out, firstSample, component);
#endif
}

int QuantiseBlockPortable(CodecContext* context, const int32_t* dct, int16_t* coefficients, int table) {
    const uint32_t* thresholds = context->thresholds[table];
    const uint32_t* divisors = context->divisors[table];
    coefficients[0] = Quantise(dct[0], divisors[0]);
    int last = 0;
    for (int k = 1; k < 64; ++k) {
        const int32_t value = dct[ZigzagToNatural[k]];
        const uint32_t threshold = thresholds[ZigzagToNatural[k]];
        // Insignificant when -t <= value < t: shifted by t, exactly the values below 2t.
        if (static_cast<uint32_t>(value) + threshold < 2 * threshold) {
            coefficients[k] = 0;
        } else {
            coefficients[k] = Quantise(value, divisors[k]);
            last = k;
        }
    }
    return last;
}

int QuantiseBlock(CodecContext* context, const int32_t* dct, int16_t* coefficients, int table) {
#if KV_SSE2
    return QuantiseBlockLanes(context, dct, coefficients, table);
#else
    return QuantiseBlockPortable(context, dct, coefficients, table);
#endif
}

namespace {

QuantisedBlock TransformThenQuantise(CodecContext* context, int16_t* coefficients, const uint8_t* firstSample,
                                     const ComponentInfo* component) {
    int32_t dct[64];
    ForwardDct(context, dct, firstSample, component);
    const int table = component->quantTable;
#if KV_SSE2
    const uint64_t insignificant = InsignificantMask(dct, context->thresholds[table]);
    return QuantiseSignificant(context, table, dct, ~insignificant & ~uint64_t{1}, coefficients);
#else
    const int last = QuantiseBlock(context, dct, coefficients, table);
    return {simd::NonzeroCells(coefficients, last) & ~uint64_t{1}, last};
#endif
}

}  // namespace

namespace {

void RunThenQuantise(CodecContext* context, const ComponentInfo* component, const NaturalDivisors* natural,
                     const uint8_t* firstSample, int count, int16_t (*cells)[64], QuantisedBlock* out) {
    static_cast<void>(natural);
    const std::ptrdiff_t blockBytes = component->wideSamples ? 16 : 8;
    for (int j = 0; j < count; ++j) {
        out[j] = TransformThenQuantise(context, cells[j], firstSample + blockBytes * j, component);
    }
}

}  // namespace

RunQuantiser RunQuantiserFor(const ComponentInfo* component) {
#if KV_AVX2
    if (simd::HasAvx512()) return component->wideSamples ? RunAvx512<true> : RunAvx512<false>;
    if (simd::HasAvx2()) return component->wideSamples ? WideRunAvx2 : ByteRunAvx2;
#endif
    static_cast<void>(component);
    return RunThenQuantise;
}

BlockQuantiser TransformAndQuantiseFor(const ComponentInfo* component) {
#if KV_AVX2
    if (simd::HasAvx2()) return component->wideSamples ? WideTransformQuantiseAvx2 : ByteTransformQuantiseAvx2;
#endif
    static_cast<void>(component);
    return TransformThenQuantise;
}

int TransformAndQuantise(CodecContext* context, int16_t* coefficients, const uint8_t* firstSample,
                         const ComponentInfo* component) {
    std::memset(coefficients, 0, 64 * sizeof(int16_t));
    return TransformAndQuantiseFor(component)(context, coefficients, firstSample, component).last;
}

}  // namespace kv::codec
