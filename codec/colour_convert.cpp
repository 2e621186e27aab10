// Upsampling, colour transform and output rows: one row of component samples (8-bit, or 11-bit in
// 16-bit cells on the precise path) in, one row of pixel-interleaved bytes in outputRow out.
#include "codec/colour_convert.h"

#include <cstddef>
#include <cstring>

#include "codec/codec_errors.h"
#include "codec/simd.h"

namespace kv::codec {

namespace {

// One chroma term: (start + factor x i) / 2^shift rounded down, i being the chroma sample. Starts per
// colour transform: [0] YCbCr, [1] YCCK.
struct TermFormula {
    int32_t start[2];
    int32_t factor;
    int shift;
};

// The factors are the YCbCr factors 1.772 (Bc, from Cb), 1.402 (Rc, from Cr), 0.344136 (Gb, from Cb)
// and 0.714136 (Gr, from Cr): Bc and Rc in 16.16 fixed point, Gb and Gr in 15.17 on the precise path
// (their sum is halved) and in 12.20 on the 8-bit path (their sum is shifted right by 8). The starts
// fold in the chroma offset (1024 for 11-bit samples, 128 for bytes), the rounding of the final
// shift, and for YCCK the inversion offset. Every numerator stays within +-3.2 x 10^8.
//
// Term ranges, YCbCr and YCCK together (they decide the packing in kChromaLowBits):
//   precise  Bc -3859..1817   Rc -3480..1438   Gb  -712..4793    Gr  -1463..1461
//   8-bit    Bc  -482..225    Rc  -434..178    Gb -11149..76597  Gr -23401..23218
// so the blue and red terms biased by 4096 fit 13 bits (0..8191), and a Cb entry plus a Cr entry,
// (Gb + Gr) x 2^14 + less than 2^14 with Gb + Gr within -34550..99815, stays within int32_t.
constexpr TermFormula kPreciseBlue = {{-118622208, -252839936}, 116130, 16};    // 1.772 x 2^16
constexpr TermFormula kPreciseRed = {{-93791232, -228008960}, 91881, 16};       // 1.402 x 2^16
constexpr TermFormula kPreciseGreenBlue = {{-46615552, 221819904}, 45107, 16};  // 0.344136 x 2^17
constexpr TermFormula kPreciseGreenRed = {{-95816704, -95816704}, 93603, 16};   // 0.714136 x 2^17
constexpr TermFormula kByteBlue = {{-14831872, -31543552}, 116130, 16};         // 1.772 x 2^16
constexpr TermFormula kByteRed = {{-11728000, -28439680}, 91881, 16};           // 1.402 x 2^16
constexpr TermFormula kByteGreenBlue = {{-45662848, 221724032}, 360853, 12};    // 0.344136 x 2^20
constexpr TermFormula kByteGreenRed = {{-95847680, -95847680}, 748826, 12};     // 0.714136 x 2^20

constexpr int kPreciseEntries = 2048;
constexpr int kByteEntries = 256;

// The green sum's shift and the final shift of each form: 11-bit samples carry 3 fraction bits.
constexpr int kPreciseGreenShift = 1;
constexpr int kPreciseShift = 3;
constexpr int kByteGreenShift = 8;
constexpr int kByteShift = 0;

// Packs a green term and a blue or red term into one table entry.
constexpr int32_t PackTerms(int32_t green, int32_t colour) {
    return static_cast<int32_t>(static_cast<uint32_t>(green) * (1u << kChromaLowBits) +
                                static_cast<uint32_t>(colour) + static_cast<uint32_t>(kChromaLowBias));
}

// Entry i of a chroma table: the green term and the blue or red term of chroma value i, each
// (start + factor x i) rounded down by its shift (GreenShift for the green term, 16 for the other).
// Every numerator stays within int32_t (the ranges above), so 32-bit arithmetic is exact.
template <int GreenShift>
constexpr int32_t ChromaEntry(const TermFormula& green, const TermFormula& colour, int transform, uint32_t index) {
    static_assert(kPreciseBlue.shift == 16 && kPreciseRed.shift == 16 && kByteBlue.shift == 16 &&
                  kByteRed.shift == 16);
    const auto greenNumerator = static_cast<int32_t>(static_cast<uint32_t>(green.start[transform - 1]) +
                                                     static_cast<uint32_t>(green.factor) * index);
    const auto colourNumerator = static_cast<int32_t>(static_cast<uint32_t>(colour.start[transform - 1]) +
                                                      static_cast<uint32_t>(colour.factor) * index);
    return PackTerms(greenNumerator >> GreenShift, colourNumerator >> 16);
}

// The two chroma tables of one form and transform: Cb (green and blue terms), Cr (green and red).
template <int Entries>
struct ChromaTablePair {
    int32_t cb[Entries];
    int32_t cr[Entries];
};

template <int Entries, int GreenShift>
constexpr ChromaTablePair<Entries> MakeChromaTables(const TermFormula& greenBlue, const TermFormula& blue,
                                                    const TermFormula& greenRed, const TermFormula& red,
                                                    int transform) {
    ChromaTablePair<Entries> tables{};
    for (uint32_t i = 0; i < Entries; ++i) {
        tables.cb[i] = ChromaEntry<GreenShift>(greenBlue, blue, transform, i);
        tables.cr[i] = ChromaEntry<GreenShift>(greenRed, red, transform, i);
    }
    return tables;
}

// Worked out by the compiler, once for each form and transform ([0] YCbCr, [1] YCCK); an image's
// tables are copies of these (40 KiB in all).
constexpr ChromaTablePair<kPreciseEntries> kPreciseChromaTables[2] = {
    MakeChromaTables<kPreciseEntries, 16>(kPreciseGreenBlue, kPreciseBlue, kPreciseGreenRed, kPreciseRed, 1),
    MakeChromaTables<kPreciseEntries, 16>(kPreciseGreenBlue, kPreciseBlue, kPreciseGreenRed, kPreciseRed, 2),
};
constexpr ChromaTablePair<kByteEntries> kByteChromaTables[2] = {
    MakeChromaTables<kByteEntries, 12>(kByteGreenBlue, kByteBlue, kByteGreenRed, kByteRed, 1),
    MakeChromaTables<kByteEntries, 12>(kByteGreenBlue, kByteBlue, kByteGreenRed, kByteRed, 2),
};
static_assert(kPreciseGreenBlue.shift == 16 && kByteGreenBlue.shift == 12, "the green shifts above");

// Every value a colour result or a four-line correction can take before clamping lies within
// -512..767: the term ranges above with 11-bit luma scaled down by 8 stay within -483..483, with 8-bit
// luma within -482..480, and a corrected byte within -255..510.
constexpr int kClampLow = -512;
constexpr int kClampEntries = 1280;

// Byte clamp by look-up. Index: value - kClampLow; entry: the value clamped to 0..255.
struct ClampTable {
    uint8_t entries[kClampEntries];
};
constexpr ClampTable MakeClampTable() {
    ClampTable table{};
    for (int i = 0; i < kClampEntries; ++i) {
        const int value = i + kClampLow;
        table.entries[i] = static_cast<uint8_t>(value < 0 ? 0 : (value > 255 ? 255 : value));
    }
    return table;
}
constexpr ClampTable kClampTable = MakeClampTable();

// Clamps to a byte: below 0 gives 0, above 255 gives 255.
inline uint8_t Clamp(int32_t value) {
    return kClampTable.entries[value - kClampLow];
}

// The three chroma terms of one Cb, Cr pair, the green one already combined and scaled.
struct ChromaTerms {
    int32_t red;
    int32_t green;
    int32_t blue;
};

// Looks up the terms of one Cb, Cr pair (two table reads). The entries' sum carries the green sum in
// its high bits, which the shift by kChromaLowBits + GreenShift scales down in one step.
template <int GreenShift>
inline ChromaTerms LookUp(const int32_t* cbTable, const int32_t* crTable, unsigned cb, unsigned cr) {
    const int32_t cbEntry = cbTable[cb];
    const int32_t crEntry = crTable[cr];
    return {ChromaColourTerm(crEntry), (cbEntry + crEntry) >> (kChromaLowBits + GreenShift), ChromaColourTerm(cbEntry)};
}

// Writes R, G, B of one YCbCr pixel.
template <int Shift>
inline void StoreRgb(int32_t y, const ChromaTerms& terms, uint8_t* out) {
    out[0] = Clamp((y + terms.red) >> Shift);
    out[1] = Clamp((y - terms.green) >> Shift);
    out[2] = Clamp((y + terms.blue) >> Shift);
}

// Writes the inverted C, M, Y bytes of one YCCK pixel.
template <int Shift>
inline void StoreInvertedCmy(int32_t y, const ChromaTerms& terms, uint8_t* out) {
    out[0] = Clamp((-y - terms.red) >> Shift);
    out[1] = Clamp((terms.green - y) >> Shift);
    out[2] = Clamp((-y - terms.blue) >> Shift);
}

#if KV_SSE2
// ---- Sixteen pixels at a time (SSE2): the precise paths, and interleaving one sample per component ----
//
// On the precise paths the table look-ups stay one per chroma sample and table; what runs side by side is the rest: the
// terms are unpacked from their entries, added to the luma, shifted and clamped in 16-bit lanes, and
// the bytes interleaved. By the term ranges above, the blue and red terms lie within -3859..1817 and
// the halved green sum within -1088..3127; with luma 0..2047 every sum and difference fits a 16-bit
// lane, each 16-bit shift gives what the 32-bit shift gives, and packing to bytes with unsigned
// saturation is the clamp to 0..255.

// The terms of eight chroma pairs, one pair per 16-bit lane: the red and blue terms and the green
// sum shifted down, as in LookUp.
struct ChromaLanes {
    __m128i red;
    __m128i green;
    __m128i blue;
};

// Four table entries, one per 32-bit lane.
inline __m128i Entries(const int32_t* table, const uint16_t* index) {
    return _mm_setr_epi32(table[index[0]], table[index[1]], table[index[2]], table[index[3]]);
}

// Looks up cb[0..7] and cr[0..7] (two table reads per pair, as LookUp does).
inline ChromaLanes LookUpEight(const int32_t* cbTable, const int32_t* crTable, const uint16_t* cb,
                               const uint16_t* cr) {
    const __m128i cbLow = Entries(cbTable, cb);
    const __m128i cbHigh = Entries(cbTable, cb + 4);
    const __m128i crLow = Entries(crTable, cr);
    const __m128i crHigh = Entries(crTable, cr + 4);
    const __m128i lowBits = _mm_set1_epi32((1 << kChromaLowBits) - 1);
    const __m128i lowBias = _mm_set1_epi16(static_cast<int16_t>(kChromaLowBias));
    constexpr int kGreenShift = kChromaLowBits + kPreciseGreenShift;
    ChromaLanes terms;
    terms.red = _mm_sub_epi16(
        _mm_packs_epi32(_mm_and_si128(crLow, lowBits), _mm_and_si128(crHigh, lowBits)), lowBias);
    terms.blue = _mm_sub_epi16(
        _mm_packs_epi32(_mm_and_si128(cbLow, lowBits), _mm_and_si128(cbHigh, lowBits)), lowBias);
    terms.green = _mm_packs_epi32(_mm_srai_epi32(_mm_add_epi32(cbLow, crLow), kGreenShift),
                                  _mm_srai_epi32(_mm_add_epi32(cbHigh, crHigh), kGreenShift));
    return terms;
}

// The terms of chroma pairs 0..3 (Half 0) or 4..7 (Half 1), each repeated for two neighbouring pixels.
template <int Half>
inline ChromaLanes Doubled(const ChromaLanes& terms) {
    if constexpr (Half == 0) {
        return {_mm_unpacklo_epi16(terms.red, terms.red), _mm_unpacklo_epi16(terms.green, terms.green),
                _mm_unpacklo_epi16(terms.blue, terms.blue)};
    } else {
        return {_mm_unpackhi_epi16(terms.red, terms.red), _mm_unpackhi_epi16(terms.green, terms.green),
                _mm_unpackhi_epi16(terms.blue, terms.blue)};
    }
}

// Eight samples of one output byte, still in 16-bit lanes: value >> kPreciseShift.
inline __m128i Scaled(__m128i value) {
    return _mm_srai_epi16(value, kPreciseShift);
}

// The first three bytes of sixteen output pixels, one vector each.
struct PixelBytes {
    __m128i first;
    __m128i second;
    __m128i third;
};

// R, G, B of sixteen YCbCr pixels: luma[0..15] with the terms of pixels 0..7 and 8..15.
inline PixelBytes RgbSixteen(const uint16_t* luma, const ChromaLanes& low, const ChromaLanes& high) {
    const __m128i yLow = _mm_loadu_si128(reinterpret_cast<const __m128i*>(luma));
    const __m128i yHigh = _mm_loadu_si128(reinterpret_cast<const __m128i*>(luma + 8));
    return {_mm_packus_epi16(Scaled(_mm_add_epi16(yLow, low.red)), Scaled(_mm_add_epi16(yHigh, high.red))),
            _mm_packus_epi16(Scaled(_mm_sub_epi16(yLow, low.green)), Scaled(_mm_sub_epi16(yHigh, high.green))),
            _mm_packus_epi16(Scaled(_mm_add_epi16(yLow, low.blue)), Scaled(_mm_add_epi16(yHigh, high.blue)))};
}

// The inverted C, M, Y bytes of sixteen YCCK pixels.
inline PixelBytes InvertedCmySixteen(const uint16_t* luma, const ChromaLanes& low, const ChromaLanes& high) {
    const __m128i yLow = _mm_loadu_si128(reinterpret_cast<const __m128i*>(luma));
    const __m128i yHigh = _mm_loadu_si128(reinterpret_cast<const __m128i*>(luma + 8));
    const __m128i zero = _mm_setzero_si128();
    // -y - term, as (-term) - y.
    const __m128i first =
        _mm_packus_epi16(Scaled(_mm_sub_epi16(_mm_sub_epi16(zero, low.red), yLow)),
                         Scaled(_mm_sub_epi16(_mm_sub_epi16(zero, high.red), yHigh)));
    const __m128i second = _mm_packus_epi16(Scaled(_mm_sub_epi16(low.green, yLow)),
                                            Scaled(_mm_sub_epi16(high.green, yHigh)));
    const __m128i third =
        _mm_packus_epi16(Scaled(_mm_sub_epi16(_mm_sub_epi16(zero, low.blue), yLow)),
                         Scaled(_mm_sub_epi16(_mm_sub_epi16(zero, high.blue), yHigh)));
    return {first, second, third};
}

// Writes four three-byte pixels, given with a zero fourth byte each, to out[0..11] and junk to
// out[12..13]: each pair is closed up to six bytes within its 64-bit half, and the halves are stored
// 6 bytes apart.
inline void StoreFourThreeBytePixels(uint8_t* out, __m128i quad) {
    const __m128i evenPixel = _mm_set_epi32(0, 0x00FFFFFF, 0, 0x00FFFFFF);           // bits 0..23 of each half
    const __m128i oddPixel = _mm_set_epi32(0xFFFF, -0x1000000, 0xFFFF, -0x1000000);  // bits 24..47
    const __m128i packed =
        _mm_or_si128(_mm_and_si128(quad, evenPixel), _mm_and_si128(_mm_srli_epi64(quad, 8), oddPixel));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), packed);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 6), _mm_unpackhi_epi64(packed, packed));
}

// Writes sixteen three-byte pixels to out[0..47], and junk to out[48..49]: the caller writes the
// pixel after them later.
inline void StoreThreeBytePixels(uint8_t* out, const PixelBytes& bytes) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i pairsLow = _mm_unpacklo_epi8(bytes.first, bytes.second);
    const __m128i pairsHigh = _mm_unpackhi_epi8(bytes.first, bytes.second);
    const __m128i thirdLow = _mm_unpacklo_epi8(bytes.third, zero);
    const __m128i thirdHigh = _mm_unpackhi_epi8(bytes.third, zero);
    StoreFourThreeBytePixels(out, _mm_unpacklo_epi16(pairsLow, thirdLow));
    StoreFourThreeBytePixels(out + 12, _mm_unpackhi_epi16(pairsLow, thirdLow));
    StoreFourThreeBytePixels(out + 24, _mm_unpacklo_epi16(pairsHigh, thirdHigh));
    StoreFourThreeBytePixels(out + 36, _mm_unpackhi_epi16(pairsHigh, thirdHigh));
}

// Sixteen bytes from in[0..15].
inline __m128i LoadSixteen(const uint8_t* in) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
}

// Writes sixteen four-byte pixels (three colour bytes and K, or four components) to out[0..63].
inline void StoreFourBytePixels(uint8_t* out, const PixelBytes& bytes, const uint8_t* black) {
    const __m128i k = LoadSixteen(black);
    const __m128i pairsLow = _mm_unpacklo_epi8(bytes.first, bytes.second);
    const __m128i pairsHigh = _mm_unpackhi_epi8(bytes.first, bytes.second);
    const __m128i thirdKLow = _mm_unpacklo_epi8(bytes.third, k);
    const __m128i thirdKHigh = _mm_unpackhi_epi8(bytes.third, k);
    auto* cells = reinterpret_cast<__m128i*>(out);
    _mm_storeu_si128(cells, _mm_unpacklo_epi16(pairsLow, thirdKLow));
    _mm_storeu_si128(cells + 1, _mm_unpackhi_epi16(pairsLow, thirdKLow));
    _mm_storeu_si128(cells + 2, _mm_unpacklo_epi16(pairsHigh, thirdKHigh));
    _mm_storeu_si128(cells + 3, _mm_unpackhi_epi16(pairsHigh, thirdKHigh));
}

// Each converts the leading pixels of one precise path's row, sixteen at a time, and returns how many
// pixels it converted; the scalar loops take the rest. A three-byte path stops at least one pixel short
// of the end, so that the junk after its last group is overwritten. The YCbCr ones start at pixel x
// (even), where the AVX2 loops below stopped.

int32_t RgbPerPixelLanes(const uint16_t* luma, const uint16_t* cb, const uint16_t* cr, const int32_t* cbTable,
                         const int32_t* crTable, uint8_t* out, int32_t x, int32_t pixels) {
    for (out += 3 * x; x + 16 < pixels; x += 16, out += 48) {
        const ChromaLanes low = LookUpEight(cbTable, crTable, cb + x, cr + x);
        const ChromaLanes high = LookUpEight(cbTable, crTable, cb + x + 8, cr + x + 8);
        StoreThreeBytePixels(out, RgbSixteen(luma + x, low, high));
    }
    return x;
}

int32_t RgbPerPairLanes(const uint16_t* luma, const uint16_t* cb, const uint16_t* cr, const int32_t* cbTable,
                        const int32_t* crTable, uint8_t* out, int32_t x, int32_t pixels) {
    for (out += 3 * x; x + 16 < pixels; x += 16, out += 48) {
        const ChromaLanes terms = LookUpEight(cbTable, crTable, cb + x / 2, cr + x / 2);
        StoreThreeBytePixels(out, RgbSixteen(luma + x, Doubled<0>(terms), Doubled<1>(terms)));
    }
    return x;
}

int32_t CmykPerPixelLanes(const uint16_t* luma, const uint16_t* cb, const uint16_t* cr, const uint8_t* black,
                          const int32_t* cbTable, const int32_t* crTable, uint8_t* out, int32_t pixels) {
    int32_t x = 0;
    for (; x + 16 <= pixels; x += 16, out += 64) {
        const ChromaLanes low = LookUpEight(cbTable, crTable, cb + x, cr + x);
        const ChromaLanes high = LookUpEight(cbTable, crTable, cb + x + 8, cr + x + 8);
        StoreFourBytePixels(out, InvertedCmySixteen(luma + x, low, high), black + x);
    }
    return x;
}

int32_t CmykPerPairLanes(const uint16_t* luma, const uint16_t* cb, const uint16_t* cr, const uint8_t* black,
                         const int32_t* cbTable, const int32_t* crTable, uint8_t* out, int32_t pixels) {
    int32_t x = 0;
    for (; x + 16 <= pixels; x += 16, out += 64) {
        const ChromaLanes terms = LookUpEight(cbTable, crTable, cb + x / 2, cr + x / 2);
        StoreFourBytePixels(out, InvertedCmySixteen(luma + x, Doubled<0>(terms), Doubled<1>(terms)), black + x);
    }
    return x;
}
#endif

#if KV_AVX2
// ---- Thirty-two pixels at a time (AVX2): the YCbCr precise paths ----
//
// Here the chroma terms are computed rather than looked up, exactly as the tables hold them:
// (start + factor x i) >> 16 for an 11-bit sample i, which stays within 32 bits (every start is within
// +-2.6 x 10^8 and 116130 x 2047 < 2.4 x 10^8). A factor is split as low + 8 x high (low 0..7), so one
// 16-bit multiply-add of the pair (i, 8i) with (low, high) gives factor x i. The rest runs as on the
// SSE2 path, in 16-bit lanes, and the bytes are interleaved with byte shuffles.
static_assert(kPreciseBlue.shift == 16 && kPreciseRed.shift == 16 && kPreciseGreenBlue.shift == 16 &&
              kPreciseGreenRed.shift == 16);

// One term's multiply-add factors (low, high per 32-bit lane) and start.
struct TermLanes {
    __m256i factors;
    __m256i start;
};

KV_ALWAYS_INLINE KV_TARGET_AVX2 TermLanes TermLanesOf(const TermFormula& formula, int transform) {
    const int32_t pair = (formula.factor >> 3) << 16 | (formula.factor & 7);
    return {_mm256_set1_epi32(pair), _mm256_set1_epi32(formula.start[transform - 1])};
}

// The terms of sixteen chroma samples, one per 16-bit lane in their order, from the pairs (i, 8i) as
// unpacked: `low` holds samples 0..3 and 8..11, `high` 4..7 and 12..15.
KV_ALWAYS_INLINE KV_TARGET_AVX2 __m256i TermSixteen(__m256i low, __m256i high, const TermLanes& term) {
    const __m256i first = _mm256_srai_epi32(_mm256_add_epi32(_mm256_madd_epi16(low, term.factors), term.start), 16);
    const __m256i second = _mm256_srai_epi32(_mm256_add_epi32(_mm256_madd_epi16(high, term.factors), term.start), 16);
    return _mm256_packs_epi32(first, second);
}

// The four precise YCbCr terms of one image.
struct YccTerms {
    TermLanes blue, red, greenBlue, greenRed;
};

// The red and blue terms and the halved green sum of cb[0..15], cr[0..15], as LookUp gives them.
struct ChromaSixteen {
    __m256i red;
    __m256i green;
    __m256i blue;
};

KV_ALWAYS_INLINE KV_TARGET_AVX2 ChromaSixteen ChromaTermsSixteen(const uint16_t* cb, const uint16_t* cr,
                                                               const YccTerms& terms) {
    const __m256i cbs = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(cb));
    const __m256i crs = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(cr));
    const __m256i cbLow = _mm256_unpacklo_epi16(cbs, _mm256_slli_epi16(cbs, 3));
    const __m256i cbHigh = _mm256_unpackhi_epi16(cbs, _mm256_slli_epi16(cbs, 3));
    const __m256i crLow = _mm256_unpacklo_epi16(crs, _mm256_slli_epi16(crs, 3));
    const __m256i crHigh = _mm256_unpackhi_epi16(crs, _mm256_slli_epi16(crs, 3));
    const __m256i greenSum = _mm256_add_epi16(TermSixteen(cbLow, cbHigh, terms.greenBlue),
                                              TermSixteen(crLow, crHigh, terms.greenRed));
    return {TermSixteen(crLow, crHigh, terms.red), _mm256_srai_epi16(greenSum, kPreciseGreenShift),
            TermSixteen(cbLow, cbHigh, terms.blue)};
}

// The byte shuffles that interleave sixteen R, G, B bytes (one 128-bit lane each) into 48: for output
// vector k and channel c, entry j names the channel's byte for output byte 16k + j, or 0x80 (zero).
struct InterleaveMasks {
    uint8_t bytes[3][3][16];
};
constexpr InterleaveMasks MakeInterleaveMasks() {
    InterleaveMasks masks{};
    for (int k = 0; k < 3; ++k)
        for (int c = 0; c < 3; ++c)
            for (int j = 0; j < 16; ++j) {
                const int position = 16 * k + j;
                masks.bytes[k][c][j] = static_cast<uint8_t>(position % 3 == c ? position / 3 : 0x80);
            }
    return masks;
}
constexpr InterleaveMasks kInterleaveMasks = MakeInterleaveMasks();

KV_ALWAYS_INLINE KV_TARGET_AVX2 __m256i InterleaveMask(int k, int c) {
    return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(kInterleaveMasks.bytes[k][c])));
}

// Writes thirty-two three-byte pixels (R, G, B bytes in pixel order) to out[0..95].
KV_ALWAYS_INLINE KV_TARGET_AVX2 void StoreRgbThirtyTwo(uint8_t* out, __m256i r, __m256i g, __m256i b) {
    __m256i part[3];
    KV_UNROLL
    for (int k = 0; k < 3; ++k) {
        part[k] = _mm256_or_si256(_mm256_or_si256(_mm256_shuffle_epi8(r, InterleaveMask(k, 0)),
                                                  _mm256_shuffle_epi8(g, InterleaveMask(k, 1))),
                                  _mm256_shuffle_epi8(b, InterleaveMask(k, 2)));
    }
    // Lane 0 of the parts holds pixels 0..15, lane 1 pixels 16..31.
    auto* cells = reinterpret_cast<__m256i*>(out);
    _mm256_storeu_si256(cells, _mm256_permute2x128_si256(part[0], part[1], 0x20));
    _mm256_storeu_si256(cells + 1, _mm256_permute2x128_si256(part[2], part[0], 0x30));
    _mm256_storeu_si256(cells + 2, _mm256_permute2x128_si256(part[1], part[2], 0x31));
}

// One output channel of sixteen pixels in 16-bit lanes: (luma + term) >> 3, or (luma - term) >> 3.
KV_ALWAYS_INLINE KV_TARGET_AVX2 __m256i PlusTerm(__m256i luma, __m256i term) {
    return _mm256_srai_epi16(_mm256_add_epi16(luma, term), kPreciseShift);
}
KV_ALWAYS_INLINE KV_TARGET_AVX2 __m256i MinusTerm(__m256i luma, __m256i term) {
    return _mm256_srai_epi16(_mm256_sub_epi16(luma, term), kPreciseShift);
}

KV_TARGET_AVX2 YccTerms YccTermsOf(int transform) {
    return {TermLanesOf(kPreciseBlue, transform), TermLanesOf(kPreciseRed, transform),
            TermLanesOf(kPreciseGreenBlue, transform), TermLanesOf(kPreciseGreenRed, transform)};
}

// Path 2: converts pixels 0.. in groups of 32 and returns how many it converted.
KV_TARGET_AVX2 int32_t RgbPerPixelAvx2(const uint16_t* luma, const uint16_t* cb, const uint16_t* cr, int transform,
                                       uint8_t* out, int32_t pixels) {
    const YccTerms terms = YccTermsOf(transform);
    int32_t x = 0;
    for (; x + 32 <= pixels; x += 32, out += 96) {
        const ChromaSixteen first = ChromaTermsSixteen(cb + x, cr + x, terms);
        const ChromaSixteen second = ChromaTermsSixteen(cb + x + 16, cr + x + 16, terms);
        const __m256i y0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(luma + x));
        const __m256i y1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(luma + x + 16));
        // Packing works per 128-bit lane: the bytes come out as pixels 0..7, 16..23, 8..15, 24..31.
        constexpr int kInOrder = 0xD8;
        const __m256i r = _mm256_permute4x64_epi64(
            _mm256_packus_epi16(PlusTerm(y0, first.red), PlusTerm(y1, second.red)), kInOrder);
        const __m256i g = _mm256_permute4x64_epi64(
            _mm256_packus_epi16(MinusTerm(y0, first.green), MinusTerm(y1, second.green)), kInOrder);
        const __m256i b = _mm256_permute4x64_epi64(
            _mm256_packus_epi16(PlusTerm(y0, first.blue), PlusTerm(y1, second.blue)), kInOrder);
        StoreRgbThirtyTwo(out, r, g, b);
    }
    return x;
}

// One output channel of thirty-two pixels from sixteen chroma terms, each doubled within its lane (so
// covering pixels 0..7 and 16..23, or 8..15 and 24..31), and the luma arranged the same way.
template <bool Plus>
KV_ALWAYS_INLINE KV_TARGET_AVX2 __m256i DoubledChannel(__m256i term, __m256i yLow, __m256i yHigh) {
    const __m256i low = _mm256_unpacklo_epi16(term, term);
    const __m256i high = _mm256_unpackhi_epi16(term, term);
    if constexpr (Plus) return _mm256_packus_epi16(PlusTerm(yLow, low), PlusTerm(yHigh, high));
    return _mm256_packus_epi16(MinusTerm(yLow, low), MinusTerm(yHigh, high));
}

// Path 3: converts pixels 0.. (one chroma pair per two) in groups of 32 and returns how many.
KV_TARGET_AVX2 int32_t RgbPerPairAvx2(const uint16_t* luma, const uint16_t* cb, const uint16_t* cr, int transform,
                                      uint8_t* out, int32_t pixels) {
    const YccTerms terms = YccTermsOf(transform);
    int32_t x = 0;
    for (; x + 32 <= pixels; x += 32, out += 96) {
        const ChromaSixteen chroma = ChromaTermsSixteen(cb + x / 2, cr + x / 2, terms);
        const __m256i y0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(luma + x));
        const __m256i y1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(luma + x + 16));
        // Packing the two halves per lane restores the pixel order.
        const __m256i yLow = _mm256_permute2x128_si256(y0, y1, 0x20);
        const __m256i yHigh = _mm256_permute2x128_si256(y0, y1, 0x31);
        StoreRgbThirtyTwo(out, DoubledChannel<true>(chroma.red, yLow, yHigh),
                          DoubledChannel<false>(chroma.green, yLow, yHigh),
                          DoubledChannel<true>(chroma.blue, yLow, yHigh));
    }
    return x;
}
#endif

// Number of the sample-buffer row that feeds sub-row subRow of block line blockLine: rows are
// repeated, never interpolated.
int SourceRowNumber(const CodecContext* context, int v, int blockLine, int subRow) {
    if (v == 1) return blockLine;
    int step = subRow;
    if (context->vMax == 4) {
        if (v == 3) {
            step = (subRow + 1) / 2;
        } else if (v == 2) {
            step = subRow / 2;
        }
    } else if (v == context->vMax - 1) {
        step = subRow / 2;
    }
    return v * blockLine + step;
}

// First byte of the sample-buffer row of component `index` that feeds the given output row.
const uint8_t* SourceRow(const CodecContext* context, int index, int blockLine, int subRow) {
    const ComponentInfo& component = context->components[index];
    const int row = SourceRowNumber(context, component.v, blockLine, subRow);
    return component.samples + static_cast<std::ptrdiff_t>(row) * component.rowWidth;
}

// The same row seen as 16-bit cells (precise path, components 0 to 2).
const uint16_t* WideSourceRow(const CodecContext* context, int index, int blockLine, int subRow) {
    return CellsOf<uint16_t>(SourceRow(context, index, blockLine, subRow));
}

// Writes one component's samples into every step-th byte of out for `groups` groups of Hmax pixels,
// each group taking h samples: as is when h is Hmax, each sample repeated when h divides Hmax,
// s0, (s0 + s1 + 1) / 2, s1 for h 2 of 3, and s0, s1, s1, s2 for h 3 of 4.
void SpreadComponent(const uint8_t* in, uint8_t* out, int step, int32_t groups, int h, int hMax) {
    if (h == hMax) {
        const int32_t samples = groups * h;
        for (int32_t x = 0; x < samples; ++x, out += step) *out = in[x];
    } else if (hMax % h == 0) {
        const int repeat = hMax / h;
        const int32_t samples = groups * h;
        for (int32_t x = 0; x < samples; ++x) {
            const uint8_t sample = in[x];
            for (int k = 0; k < repeat; ++k, out += step) *out = sample;
        }
    } else if (hMax == 3) {
        for (int32_t g = 0; g < groups; ++g, in += 2, out += 3 * step) {
            out[0] = in[0];
            out[step] = static_cast<uint8_t>((in[0] + in[1] + 1) >> 1);
            out[2 * step] = in[1];
        }
    } else {
        for (int32_t g = 0; g < groups; ++g, in += 3, out += 4 * step) {
            out[0] = in[0];
            out[step] = in[1];
            out[2 * step] = in[1];
            out[3 * step] = in[2];
        }
    }
}

// Interleaves the components of path 0 into the output row, upsampled to Hmax per group.
void InterleaveRow(const CodecContext* context, int blockLine, int subRow) {
    const int count = context->componentCount;
    const int hMax = context->hMax;
    const int32_t length = context->paddedRowLength;
    uint8_t* out = context->outputRow;
    if (count == 1) {
        std::memcpy(out, SourceRow(context, 0, blockLine, subRow), static_cast<std::size_t>(length));
        return;
    }
    if (hMax == 1 && count >= 3) {
        // One sample per component per pixel: a single pass.
        const uint8_t* c0 = SourceRow(context, 0, blockLine, subRow);
        const uint8_t* c1 = SourceRow(context, 1, blockLine, subRow);
        const uint8_t* c2 = SourceRow(context, 2, blockLine, subRow);
        int32_t x = 0;
        if (count == 3) {
            const int32_t pixels = length / 3;
#if KV_SSE2
            // As on the precise paths: at least one pixel is left for the loop below.
            for (; x + 16 < pixels; x += 16, out += 48) {
                StoreThreeBytePixels(out, {LoadSixteen(c0 + x), LoadSixteen(c1 + x), LoadSixteen(c2 + x)});
            }
#endif
            for (; x < pixels; ++x, out += 3) {
                out[0] = c0[x];
                out[1] = c1[x];
                out[2] = c2[x];
            }
        } else {
            const uint8_t* c3 = SourceRow(context, 3, blockLine, subRow);
            const int32_t pixels = length / 4;
#if KV_SSE2
            for (; x + 16 <= pixels; x += 16, out += 64) {
                StoreFourBytePixels(out, {LoadSixteen(c0 + x), LoadSixteen(c1 + x), LoadSixteen(c2 + x)}, c3 + x);
            }
#endif
            for (; x < pixels; ++x, out += 4) {
                out[0] = c0[x];
                out[1] = c1[x];
                out[2] = c2[x];
                out[3] = c3[x];
            }
        }
        return;
    }
    const int32_t groups = length / (count * hMax);
    for (int c = 0; c < count; ++c) {
        SpreadComponent(SourceRow(context, c, blockLine, subRow), out + c, count, groups, context->components[c].h,
                        hMax);
    }
}

// Path 1: three components, H = 2, 1, 1, no transform: Y0, Cb, Cr, Y1, Cb, Cr per two pixels.
void InterleaveTwoOneOne(const CodecContext* context, int blockLine, int subRow) {
    const uint8_t* luma = SourceRow(context, 0, blockLine, subRow);
    const uint8_t* cb = SourceRow(context, 1, blockLine, subRow);
    const uint8_t* cr = SourceRow(context, 2, blockLine, subRow);
    uint8_t* out = context->outputRow;
    const int32_t pairs = context->paddedRowLength / 6;
    for (int32_t x = 0; x < pairs; ++x, luma += 2, out += 6) {
        out[0] = luma[0];
        out[1] = cb[x];
        out[2] = cr[x];
        out[3] = luma[1];
        out[4] = cb[x];
        out[5] = cr[x];
    }
}

// Converts an interleaved row in place: Y, Cb, Cr bytes to R, G, B (3 channels), or Y, Cb, Cr, K
// bytes to inverted C, M, Y with K kept (4 channels).
template <int Channels>
void ColourInPlace(const CodecContext* context) {
    const int32_t* cbTable = context->chromaTableA;
    const int32_t* crTable = context->chromaTableB;
    uint8_t* pixel = context->outputRow;
    const int32_t pixels = context->paddedRowLength / Channels;
    for (int32_t x = 0; x < pixels; ++x, pixel += Channels) {
        const auto chroma = LookUp<kByteGreenShift>(cbTable, crTable, pixel[1], pixel[2]);
        if constexpr (Channels == 3) {
            StoreRgb<kByteShift>(pixel[0], chroma, pixel);
        } else {
            StoreInvertedCmy<kByteShift>(pixel[0], chroma, pixel);
        }
    }
}

// The four-line shortcut: the previous output row is still in the buffer and only the luma's change
// is brought in, replacing luma bytes, or adding (YCbCr) or subtracting (YCCK) the luma difference
// from the colour bytes and replacing K.
void CorrectPreviousRow(const CodecContext* context, int blockLine, int subRow) {
    const int count = context->componentCount;
    const int hMax = context->hMax;
    const int32_t groups = context->paddedRowLength / (count * hMax);
    const ComponentInfo& luma = context->components[0];
    const uint8_t* now = SourceRow(context, 0, blockLine, subRow);
    uint8_t* out = context->outputRow;
    const int transform = context->colourTransform;
    if (transform == 0) {
        SpreadComponent(now, out, count, groups, luma.h, hMax);
        return;
    }
    // The difference needs one luma sample per pixel.
    if (luma.h != hMax || !((transform == 1 && count == 3) || (transform == 2 && count == 4))) CodecBug();
    const uint8_t* before = SourceRow(context, 0, blockLine, subRow - 1);
    const int32_t pixels = groups * hMax;
    if (transform == 1) {
        for (int32_t x = 0; x < pixels; ++x, out += 3) {
            const int32_t change = now[x] - before[x];
            out[0] = Clamp(out[0] + change);
            out[1] = Clamp(out[1] + change);
            out[2] = Clamp(out[2] + change);
        }
        return;
    }
    for (int32_t x = 0; x < pixels; ++x, out += 4) {
        const int32_t change = now[x] - before[x];
        out[0] = Clamp(out[0] - change);
        out[1] = Clamp(out[1] - change);
        out[2] = Clamp(out[2] - change);
    }
    SpreadComponent(SourceRow(context, 3, blockLine, subRow), context->outputRow + 3, 4, groups,
                    context->components[3].h, hMax);
}

}  // namespace

int32_t ColourTableBytes(const CodecContext* context) {
    if (context->colourTransform == 0) return 0;
    const int32_t entries = context->preciseColour ? kPreciseEntries : kByteEntries;
    return 2 * entries * static_cast<int32_t>(sizeof(int32_t));
}

void BuildColourTables(CodecContext* context) {
    const int transform = context->colourTransform;
    if (transform != 1 && transform != 2) CodecBug();
    if (context->preciseColour != 0) {
        const ChromaTablePair<kPreciseEntries>& tables = kPreciseChromaTables[transform - 1];
        std::memcpy(context->chromaTableA, tables.cb, sizeof tables.cb);
        std::memcpy(context->chromaTableB, tables.cr, sizeof tables.cr);
    } else {
        const ChromaTablePair<kByteEntries>& tables = kByteChromaTables[transform - 1];
        std::memcpy(context->chromaTableA, tables.cb, sizeof tables.cb);
        std::memcpy(context->chromaTableB, tables.cr, sizeof tables.cr);
    }
}

void ConvertRowPrecise(CodecContext* context, int blockLine, int subRow) {
    const int path = context->colourPath;
    if (path < 2 || path > 5) CodecBug();
    const uint16_t* luma = WideSourceRow(context, 0, blockLine, subRow);
    const uint16_t* cb = WideSourceRow(context, 1, blockLine, subRow);
    const uint16_t* cr = WideSourceRow(context, 2, blockLine, subRow);
    const int32_t* cbTable = context->chromaTableA;
    const int32_t* crTable = context->chromaTableB;
    uint8_t* out = context->outputRow;
    const int32_t length = context->paddedRowLength;
    // Pixels (path 2, 4) or pairs (path 3, 5) already converted side by side.
    int32_t done = 0;
    switch (path) {
        case 2: {  // one chroma pair per pixel
            const int32_t pixels = length / 3;
#if KV_AVX2
            if (simd::HasAvx2()) done = RgbPerPixelAvx2(luma, cb, cr, context->colourTransform, out, pixels);
#endif
#if KV_SSE2
            done = RgbPerPixelLanes(luma, cb, cr, cbTable, crTable, out, done, pixels);
#endif
            out += 3 * done;
            for (int32_t x = done; x < pixels; ++x, out += 3) {
                StoreRgb<kPreciseShift>(luma[x], LookUp<kPreciseGreenShift>(cbTable, crTable, cb[x], cr[x]), out);
            }
            break;
        }
        case 3: {  // one chroma pair per two pixels
            const int32_t pairs = length / 6;
#if KV_AVX2
            if (simd::HasAvx2()) done = RgbPerPairAvx2(luma, cb, cr, context->colourTransform, out, 2 * pairs);
#endif
#if KV_SSE2
            done = RgbPerPairLanes(luma, cb, cr, cbTable, crTable, out, done, 2 * pairs);
#endif
            done /= 2;
            luma += 2 * done;
            out += 6 * done;
            for (int32_t x = done; x < pairs; ++x, luma += 2, out += 6) {
                const ChromaTerms terms = LookUp<kPreciseGreenShift>(cbTable, crTable, cb[x], cr[x]);
                StoreRgb<kPreciseShift>(luma[0], terms, out);
                StoreRgb<kPreciseShift>(luma[1], terms, out + 3);
            }
            break;
        }
        case 4: {  // one chroma pair and one K per pixel
            const uint8_t* black = SourceRow(context, 3, blockLine, subRow);
            const int32_t pixels = length / 4;
#if KV_SSE2
            done = CmykPerPixelLanes(luma, cb, cr, black, cbTable, crTable, out, pixels);
#endif
            out += 4 * done;
            for (int32_t x = done; x < pixels; ++x, out += 4) {
                StoreInvertedCmy<kPreciseShift>(luma[x], LookUp<kPreciseGreenShift>(cbTable, crTable, cb[x], cr[x]),
                                                out);
                out[3] = black[x];
            }
            break;
        }
        default: {  // path 5: one chroma pair per two pixels, one K per pixel
            const uint8_t* black = SourceRow(context, 3, blockLine, subRow);
            const int32_t pairs = length / 8;
#if KV_SSE2
            done = CmykPerPairLanes(luma, cb, cr, black, cbTable, crTable, out, 2 * pairs) / 2;
#endif
            luma += 2 * done;
            black += 2 * done;
            out += 8 * done;
            for (int32_t x = done; x < pairs; ++x, luma += 2, black += 2, out += 8) {
                const ChromaTerms terms = LookUp<kPreciseGreenShift>(cbTable, crTable, cb[x], cr[x]);
                StoreInvertedCmy<kPreciseShift>(luma[0], terms, out);
                out[3] = black[0];
                StoreInvertedCmy<kPreciseShift>(luma[1], terms, out + 4);
                out[7] = black[1];
            }
            break;
        }
    }
}

void ConvertRow(CodecContext* context, int blockLine, int subRow) {
    const int path = context->colourPath;
    if (path != 0 && path != 1) CodecBug();
    if (context->fourLine && subRow > 0) {
        CorrectPreviousRow(context, blockLine, subRow);
        return;
    }
    if (path == 1) {
        InterleaveTwoOneOne(context, blockLine, subRow);
        return;
    }
    const int transform = context->colourTransform;
    const int count = context->componentCount;
    if (!(transform == 0 || (transform == 1 && count == 3) || (transform == 2 && count == 4))) CodecBug();
    InterleaveRow(context, blockLine, subRow);
    if (transform == 1) {
        ColourInPlace<3>(context);
    } else if (transform == 2) {
        ColourInPlace<4>(context);
    }
}

}  // namespace kv::codec
