// The forward DCT and quantisation: an 8x8 block of component samples (8-bit, or 8.8 fixed point in
// 16-bit cells) in, 64 scaled DCT values in natural order, then 64 quantised coefficients in zig-zag
// order out.
#include <cstddef>

#include "codec/encoder/forward_path.h"
#include "codec/huffman_decode.h"

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

// The transform's values travel as uint32_t so that every sum wraps around in 32 bits; this shifts
// one right as the signed value it stands for.
inline uint32_t Sar(uint32_t value, int bits) {
    return static_cast<uint32_t>(static_cast<int32_t>(value) >> bits);
}

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

// Row pass: for each row, the 1-D transform with constant multiplications, outputs x 2^16 per unit
// of an 8-bit sample.
template <typename Cell>
void RowPass(const uint8_t* first, int32_t rowWidth, uint32_t* work) {
    for (int row = 0; row < 8; ++row, first += rowWidth, work += 8) {
        const Cell* s = reinterpret_cast<const Cell*>(first);
        const uint32_t t0 = static_cast<uint32_t>(s[0]) + s[7], t7 = static_cast<uint32_t>(s[0]) - s[7];
        const uint32_t t1 = static_cast<uint32_t>(s[1]) + s[6], t6 = static_cast<uint32_t>(s[1]) - s[6];
        const uint32_t t2 = static_cast<uint32_t>(s[2]) + s[5], t5 = static_cast<uint32_t>(s[2]) - s[5];
        const uint32_t t3 = static_cast<uint32_t>(s[3]) + s[4], t4 = static_cast<uint32_t>(s[3]) - s[4];
        const uint32_t e10 = t0 + t3, e13 = t0 - t3, e11 = t1 + t2, e12 = t1 - t2;
        const uint32_t o10 = t4 + t5, o11 = t5 + t6, o12 = t6 + t7;
        const uint32_t m = o12 - o10;
        uint32_t z1, z2, z3, z4, z5, one;
        if constexpr (sizeof(Cell) == 1) {
            one = kByteOne;
            z1 = (e12 + e13) * kByteR707;
            z3 = o11 * kByteR707;
            z5 = m * kByteR383;
            z2 = o10 * kByteR541 - z5;
            z4 = o12 * kByteR1307 - z5;
        } else {
            one = kWideOne;
            z1 = (e12 + e13) * kWideR707;
            z3 = o11 * kWideR707;
            z5 = m * kWideR383 - Sar(m, 5);
            z2 = o10 * kWideR541 + Sar(o10 * 17, 5) - z5;
            z4 = o12 * kWideR1307 - o12 - Sar(o12, 1) - z5;
        }
        const uint32_t z11 = t7 * one + z3, z13 = t7 * one - z3;
        work[0] = (e10 + e11) * one;
        work[4] = (e10 - e11) * one;
        work[2] = e13 * one + z1;
        work[6] = e13 * one - z1;
        work[1] = z11 + z4;
        work[3] = z13 - z2;
        work[5] = z13 + z2;
        work[7] = z11 - z4;
    }
}

// x 0.70703125 by shifts and adds.
inline uint32_t Multiply707(uint32_t x) {
    const uint32_t y = x + Sar(x, 2);
    return Sar(y + Sar(y + Sar(x, 4), 3), 1);
}

// Column pass: for each column, the 1-D transform with shift-and-add multiplications; writes the
// block in natural order.
void ColumnPass(const uint32_t* work, int32_t* out) {
    for (int column = 0; column < 8; ++column) {
        const uint32_t* r = work + column;
        const uint32_t t0 = r[0] + r[56], t7 = r[0] - r[56];
        const uint32_t t1 = r[8] + r[48], t6 = r[8] - r[48];
        const uint32_t t2 = r[16] + r[40], t5 = r[16] - r[40];
        const uint32_t t3 = r[24] + r[32], t4 = r[24] - r[32];
        const uint32_t e10 = t0 + t3, e13 = t0 - t3, e11 = t1 + t2, e12 = t1 - t2;
        const uint32_t o10 = t4 + t5, o11 = t5 + t6, o12 = t6 + t7;
        const uint32_t m = o12 - o10;
        const uint32_t z1 = Multiply707(e12 + e13);
        const uint32_t z3 = Multiply707(o11);
        const uint32_t z11 = t7 + z3, z13 = t7 - z3;
        // z5: x 0.38269; z2: x 0.54114 less z5; z4: x 1.30664 less z5.
        const uint32_t z5 = Sar(m - Sar(m, 2), 1) + Sar(m - Sar(m, 6), 7);
        const uint32_t a = o10 + Sar(o10, 4);
        const uint32_t z2 = Sar(a + Sar(o10 + Sar(a, 2), 6), 1) - z5;
        const uint32_t z4 = o12 + Sar(o12, 2) + Sar(o12, 4) - Sar(o12 - Sar(o12, 2), 7) - z5;
        int32_t* o = out + column;
        o[0] = static_cast<int32_t>(e10 + e11);
        o[32] = static_cast<int32_t>(e10 - e11);
        o[16] = static_cast<int32_t>(e13 + z1);
        o[48] = static_cast<int32_t>(e13 - z1);
        o[8] = static_cast<int32_t>(z11 + z4);
        o[24] = static_cast<int32_t>(z13 - z2);
        o[40] = static_cast<int32_t>(z13 + z2);
        o[56] = static_cast<int32_t>(z11 - z4);
    }
}

// Quantises one value with divisor d (rounding half away from zero).
inline int16_t Quantise(int32_t value, uint32_t divisor) {
    const uint32_t magnitude = value < 0 ? 0u - static_cast<uint32_t>(value) : static_cast<uint32_t>(value);
    const uint32_t quotient = (magnitude + divisor) / (2 * divisor);
    return static_cast<int16_t>(value < 0 ? -static_cast<int32_t>(quotient) : static_cast<int32_t>(quotient));
}

// Keeps a divisor usable: at least 1 and small enough that twice it, and a magnitude plus it, fit 32
// bits. The encoder's own quantisers (1..255) never reach either bound.
constexpr uint64_t kLargestDivisor = uint64_t{1} << 30;

}  // namespace

void PrepareDivisors(CodecContext* context) {
    for (int table = 0; table < context->quantTableCount; ++table) {
        uint32_t* thresholds = context->thresholds[table];
        uint32_t* divisors = context->divisors[table];
        const uint16_t* stored = context->quant[table].entries;
        for (int k = 0; k < 64; ++k) {
            const uint32_t scale = AanScaleTable[ZigzagToNatural[k]];
            thresholds[k] = static_cast<uint32_t>(context->encodingQuant[table][k]) * scale;
            uint64_t divisor = static_cast<uint64_t>(stored[k] != 0 ? stored[k] : 1) * scale;
            if (divisor > kLargestDivisor) divisor = kLargestDivisor;
            divisors[k] = static_cast<uint32_t>(divisor);
        }
    }
}

void ForwardDct(CodecContext* context, int32_t* out, const uint8_t* firstSample, const ComponentInfo* component) {
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

int QuantiseBlock(CodecContext* context, const int32_t* dct, int16_t* coefficients, int table) {
    const uint32_t* thresholds = context->thresholds[table];
    const uint32_t* divisors = context->divisors[table];
    coefficients[0] = Quantise(dct[0], divisors[0]);
    int last = 0;
    for (int k = 1; k < 64; ++k) {
        const int32_t value = dct[ZigzagToNatural[k]];
        const uint32_t threshold = thresholds[k];
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
