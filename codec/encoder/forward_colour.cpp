// Colour conversion, subsampling and edge padding for the encoder: one interleaved input row of
// 8-bit pixels in, one row of every component's sample buffer out (8-bit samples, or samples x 256
// in 16-bit cells), padded to whole blocks on the right and, at the image's end, at the bottom.
#include <cstddef>
#include <cstring>
#include <type_traits>

#include "codec/codec_errors.h"
#include "codec/encoder/forward_path.h"
#include "codec/simd.h"

namespace kv::codec {

namespace {

constexpr int kLumaEntries = 256;
constexpr int kSingleEntries = 256;   // chroma tables indexed by one sample
constexpr int kPairEntries = 511;     // chroma tables indexed by the sum of two neighbouring samples
constexpr int kRepeatedPixels = 3;    // copies of the last pixel after the row's end

// Right-edge (and bottom-edge) fill. Index: [valid columns n 1..7][column 0..7] -> the column whose
// sample the column takes; only columns n..7 are written, and row 0 is unused. The pattern mirrors
// the data back from the block's end, which keeps the padding's high-frequency energy low.
const uint8_t kEdgeFill[8][8] = {
    {0, 1, 2, 3, 4, 5, 6, 7},
    {0, 0, 0, 0, 0, 0, 0, 0},
    {0, 1, 1, 0, 0, 1, 1, 0},
    {0, 1, 2, 0, 0, 2, 1, 0},
    {0, 1, 2, 3, 3, 2, 1, 0},
    {0, 1, 2, 3, 4, 2, 1, 0},
    {0, 1, 2, 3, 4, 5, 1, 0},
    {0, 1, 2, 3, 4, 5, 6, 0},
};

// One output of subsampling a group of samples (or of rows): (sum of weight x input + rounding) >>
// shift. Every sum is non-negative, so the shift is the integer division by 1, 2 or 4.
struct SubsampleTap {
    uint8_t weight[4];
    uint8_t rounding;
    uint8_t shift;
};

// Index: [averaging 0/1][largest factor 2..4, less 2][own factor 1..3, less 1][output 0..2]; unused
// slots are zero. Without averaging one input of each stretch is kept; with it the inputs an output
// covers are blended by how much of each it covers.
const SubsampleTap kSubsampleTaps[2][3][3][3] = {
    {
        {{{{1, 0, 0, 0}, 0, 0}}},                                                        // 2 -> 1: r0
        {{{{0, 1, 0, 0}, 0, 0}},                                                         // 3 -> 1: r1
         {{{1, 0, 0, 0}, 0, 0}, {{0, 0, 1, 0}, 0, 0}}},                                  // 3 -> 2: r0, r2
        {{{{0, 1, 0, 0}, 0, 0}},                                                         // 4 -> 1: r1
         {{{1, 0, 0, 0}, 0, 0}, {{0, 0, 1, 0}, 0, 0}},                                   // 4 -> 2: r0, r2
         {{{1, 0, 0, 0}, 0, 0}, {{0, 1, 0, 0}, 0, 0}, {{0, 0, 0, 1}, 0, 0}}},            // 4 -> 3: r0, r1, r3
    },
    {
        {{{{1, 1, 0, 0}, 1, 1}}},                                                        // (r0 + r1 + 1) / 2
        {{{{1, 2, 1, 0}, 2, 2}},                                                         // (r0 + 2 r1 + r2 + 2) / 4
         {{{3, 1, 0, 0}, 2, 2}, {{0, 1, 3, 0}, 2, 2}}},                                  // (3 r0 + r1 + 2) / 4, ...
        {{{{1, 1, 1, 1}, 2, 2}},                                                         // (r0 + r1 + r2 + r3 + 2) / 4
         {{{1, 1, 0, 0}, 1, 1}, {{0, 0, 1, 1}, 1, 1}},                                   // pair averages
         {{{1, 0, 0, 0}, 0, 0}, {{0, 1, 1, 0}, 1, 1}, {{0, 0, 0, 1}, 0, 0}}},            // r0, middle pair, r3
    },
};

// The taps that turn `largest` inputs into `own` outputs (own below largest, largest 2..4).
const SubsampleTap* SubsampleTaps(const CodecContext* context, int largest, int own) {
    return kSubsampleTaps[context->averaging ? 1 : 0][largest - 2][own - 1];
}

// Applies one tap to inputs held in locals.
inline uint32_t ApplyTap(const SubsampleTap& tap, const uint32_t* in) {
    return (tap.weight[0] * in[0] + tap.weight[1] * in[1] + tap.weight[2] * in[2] + tap.weight[3] * in[3] +
            tap.rounding) >> tap.shift;
}

// --- Forward colour tables ---
//
// Luma tables give each input channel's contribution to Y; their sum is Y x 256 in the 16-bit form
// and Y x 65536 plus 32768 (rounding) in the 8-bit form. A channel whose luma counts negatively
// (M and Y of YCCK) holds the negated contribution, so that Y is always a plain sum.
//
// Chroma tables hold each channel's two chroma contributions packed in one word: Cb in the high and
// Cr in the low 16 bits, each Cb or Cr x 256 with the offset 128 built in. Every half of every
// entry and every sum of three halves stays within 0..65535, so the halves never carry into each
// other. The 8-bit form adds 127 to the green terms, which rounds the integer parts taken at the end.
//
// Fixed-point factors (x 2^18, the >> 10 leaving x 256):
//   Y:  0.299 -> 78381, 0.587 -> 153879, 0.114 -> 29884 (8-bit form x 2^16: 19595, 38470, 7471)
//   Cb: -0.168736 -> 44233, -0.331264 -> 86839, +0.5 -> v x 128
//   Cr: +0.5 -> v x 128, -0.418688 -> 109756, -0.081312 -> 21316
// Pair-sum tables use half of each factor on the sum of two samples: 22117, 43419, 54878, 10658 and
// u x 64. The starts 11338240, 22217216, 28049920 and 5505536 (/ 1024: 11072.5, 21696.5, 27392.5,
// 5376.5) add up to 32769 per half: the offset 128 x 256 and one unit that the floors of >> 10 take
// back. YCCK mirrors the terms for C, M, Y = 255 - R, G, B.

constexpr int32_t kLumaRed = 78381, kLumaGreen = 153879, kLumaBlue = 29884;   // 16-bit form, x 2^18
constexpr int32_t kLumaRound = 512;
constexpr int32_t kInvertedLumaStart = 66846208;     // (255 x 256 - 0.5) x 1024: 256 x (255 - Y) for YCCK
constexpr int32_t kByteLumaRed = 19595, kByteLumaGreen = 38470, kByteLumaBlue = 7471;   // x 2^16
constexpr int32_t kByteLumaRound = 32768;
constexpr int32_t kByteInvertedLumaStart = 16744448;  // 255 x 65536 + 32768

// Chroma factors, [0] single samples, [1] pair sums.
constexpr int32_t kCbRed[2] = {44233, 22117};
constexpr int32_t kCbGreen[2] = {86839, 43419};
constexpr int32_t kCrGreen[2] = {109756, 54878};
constexpr int32_t kCrBlue[2] = {21316, 10658};
constexpr int32_t kHalfStep[2] = {128, 64};          // 0.5 x 256 per sample, per pair sum

constexpr int32_t kCbRedStart = 11338240;
constexpr int32_t kCbGreenStart = 22217216;          // 8-bit form: + 127 x 1024 = 22347264
constexpr int32_t kCrGreenStart = 28049920;          // 8-bit form: 28179968
constexpr int32_t kCrBlueStart = 5505536;
constexpr int32_t kByteGreenRounding = 127 * 1024;
constexpr int32_t kInvertedHalfStart = 32767;        // 128 x 256 - 1 for the mirrored 0.5 terms

// One packed chroma entry from its two halves (each 0..65535).
inline int32_t PackChroma(int32_t cb, int32_t cr) {
    return static_cast<int32_t>((static_cast<uint32_t>(cb) << 16) | static_cast<uint32_t>(cr));
}

// --- Sample forms ---

// 8.8 fixed-point samples in 16-bit cells: the sums are taken whole.
struct WideForm {
    using Cell = uint16_t;
    static Cell Luma(uint32_t sum) { return static_cast<Cell>(sum); }
    static Cell Cb(uint32_t word) { return static_cast<Cell>(word >> 16); }
    static Cell Cr(uint32_t word) { return static_cast<Cell>(word); }
};

// 8-bit samples: the integer parts of the sums.
struct ByteForm {
    using Cell = uint8_t;
    static Cell Luma(uint32_t sum) { return static_cast<Cell>(sum >> 16); }
    static Cell Cb(uint32_t word) { return static_cast<Cell>(word >> 24); }
    static Cell Cr(uint32_t word) { return static_cast<Cell>(word >> 8); }
};

// One pixel's three colour channels, each read from the input row once: as far as the compiler knows,
// the sample rows written in between could alias the input row and force a second read. Held as
// std::size_t, so that a table offset plus a channel folds into the address.
struct Pixel {
    std::size_t channel[3];
};
inline Pixel ReadPixel(const uint8_t* p) { return {{p[0], p[1], p[2]}}; }

// The forward colour tables as unsigned words, so that their sums wrap as intended.
struct ColourTables {
    const uint32_t* luma[3];
    const uint32_t* chroma[3];

    explicit ColourTables(const CodecContext* context) {
        for (int c = 0; c < 3; ++c) {
            luma[c] = reinterpret_cast<const uint32_t*>(context->lumaTables[c]);
            chroma[c] = reinterpret_cast<const uint32_t*>(context->chromaTables[c]);
        }
    }
    uint32_t Luma(const Pixel& p) const {
        return luma[0][p.channel[0]] + luma[1][p.channel[1]] + luma[2][p.channel[2]];
    }
    // The chroma word of one pixel; `step` is 2 in pair-sum tables, where 2 x v stands for one sample.
    uint32_t Chroma(const Pixel& p, int step) const {
        return chroma[0][p.channel[0] * step] + chroma[1][p.channel[1] * step] + chroma[2][p.channel[2] * step];
    }
    // The chroma word of the pixel pair p, q from pair-sum tables.
    uint32_t ChromaPair(const Pixel& p, const Pixel& q) const {
        return chroma[0][p.channel[0] + q.channel[0]] + chroma[1][p.channel[1] + q.channel[1]] +
               chroma[2][p.channel[2] + q.channel[2]];
    }
};

// The same tables for the fast conversions, read from one base. PlaceForwardColourTables lays them
// out in one area, the three luma tables and then the three chroma tables of Entries each, so that a
// conversion loop needs one register for all six and keeps the others for pixels and rows.
template <int Entries>
struct PlacedTables {
    static constexpr int kChroma = 3 * kLumaEntries;
    const uint32_t* base;

    explicit PlacedTables(const CodecContext* context)
        : base(reinterpret_cast<const uint32_t*>(context->lumaTables[0])) {
        if (context->chromaTableEntries != Entries) CodecBug();
        for (int c = 0; c < 3; ++c) {
            if (context->lumaTables[c] != context->lumaTables[0] + c * kLumaEntries ||
                context->chromaTables[c] != context->lumaTables[0] + kChroma + c * Entries) {
                CodecBug();
            }
        }
    }
    uint32_t Luma(const Pixel& p) const {
        return base[p.channel[0]] + base[kLumaEntries + p.channel[1]] + base[2 * kLumaEntries + p.channel[2]];
    }
    // The chroma word of one pixel from single-sample tables.
    uint32_t Chroma(const Pixel& p) const {
        static_assert(Entries == kSingleEntries);
        return base[kChroma + p.channel[0]] + base[kChroma + Entries + p.channel[1]] +
               base[kChroma + 2 * Entries + p.channel[2]];
    }
    // The chroma word of the pixel pair p, q from pair-sum tables.
    uint32_t ChromaPair(const Pixel& p, const Pixel& q) const {
        static_assert(Entries == kPairEntries);
        return base[kChroma + p.channel[0] + q.channel[0]] + base[kChroma + Entries + p.channel[1] + q.channel[1]] +
               base[kChroma + 2 * Entries + p.channel[2] + q.channel[2]];
    }
};

// --- Row addressing ---

// Row `row` of component `index`'s sample buffer.
template <typename Cell>
inline Cell* BufferRow(const CodecContext* context, int index, int row) {
    const ComponentInfo& component = context->components[index];
    return CellsOf<Cell>(component.samples + static_cast<std::ptrdiff_t>(row) * component.rowWidth);
}

// The row of component `index` that the current input row goes to: row rowInGroup of group rowGroup.
template <typename Cell>
inline Cell* TargetRow(const CodecContext* context, int index) {
    return BufferRow<Cell>(context, index, context->rowGroup * context->components[index].v + context->rowInGroup);
}

// Samples of a component row that blocks are ever taken from: up to the end of the last block
// holding data.
inline int32_t RowExtent(const CodecContext* context, int index) {
    return context->edges[index].lastBlockStart + 8;
}

// --- Fast conversions (every component's H is 1 or 2 and matches the path) ---

// The input row and the rows of the components it goes to on the fast paths (K only with 4 colours).
template <typename Cell>
struct FastRows {
    const uint8_t* in;
    Cell* y;
    Cell* cb;
    Cell* cr;
    uint8_t* k;

    FastRows(const CodecContext* context, int channels)
        : in(context->inputRow), y(TargetRow<Cell>(context, 0)), cb(TargetRow<Cell>(context, 1)),
          cr(TargetRow<Cell>(context, 2)), k(channels == 4 ? TargetRow<uint8_t>(context, 3) : nullptr) {}
};

// Converts pixel x with a chroma pair of its own.
template <typename Form, int Channels>
KV_ALWAYS_INLINE void ConvertPixel(const PlacedTables<kSingleEntries>& tables, const FastRows<typename Form::Cell>& rows,
                                    int32_t x) {
    const uint8_t* at = rows.in + static_cast<std::ptrdiff_t>(x) * Channels;
    const Pixel pixel = ReadPixel(at);
    rows.y[x] = Form::Luma(tables.Luma(pixel));
    const uint32_t word = tables.Chroma(pixel);
    rows.cb[x] = Form::Cb(word);
    rows.cr[x] = Form::Cr(word);
    if constexpr (Channels == 4) rows.k[x] = at[3];
}

// Converts pixels 2x and 2x + 1, which share a chroma pair.
template <typename Form, int Channels, bool Averaging, typename Tables>
KV_ALWAYS_INLINE void ConvertPair(const Tables& tables, const FastRows<typename Form::Cell>& rows, int32_t x) {
    const uint8_t* first = rows.in + static_cast<std::ptrdiff_t>(x) * 2 * Channels;
    const uint8_t* second = first + Channels;
    const Pixel left = ReadPixel(first), right = ReadPixel(second);
    rows.y[2 * x] = Form::Luma(tables.Luma(left));
    rows.y[2 * x + 1] = Form::Luma(tables.Luma(right));
    uint32_t word;
    if constexpr (Averaging) {
        word = tables.ChromaPair(left, right);
    } else {
        word = tables.Chroma(left);
    }
    rows.cb[x] = Form::Cb(word);
    rows.cr[x] = Form::Cr(word);
    if constexpr (Channels == 4) {
        rows.k[2 * x] = first[3];
        rows.k[2 * x + 1] = second[3];
    }
}

#if KV_AVX2
// The 16-bit form of YCbCr without the tables, eight pixels at a time: every table entry is a
// product of its index and a factor, plus a start, shifted down by 10 (or the index times a power
// of two), and the lanes compute exactly those terms and their sums. Only for YCbCr from RGB.

// Channel c of eight pixels at p, one per 32-bit lane: pixels 0..3 from the 16 bytes at p, 4..7
// from the 16 at p + 12 (28 bytes read).
KV_TARGET_AVX2 inline __m256i LoadEightPixels(const uint8_t* p) {
    return _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))),
                                   _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 12)), 1);
}
KV_TARGET_AVX2 inline __m256i Channel(__m256i pixels, int c) {
    const auto at = [c](int j) { return static_cast<char>(3 * j + c); };
    const char no = static_cast<char>(0x80);
    const __m256i pick = _mm256_setr_epi8(at(0), no, no, no, at(1), no, no, no, at(2), no, no, no, at(3), no, no, no,
                                          at(0), no, no, no, at(1), no, no, no, at(2), no, no, no, at(3), no, no, no);
    return _mm256_shuffle_epi8(pixels, pick);
}

// (start - factor x u) >> 10 and (factor x u + rounding) >> 10, the terms of the tables.
KV_TARGET_AVX2 inline __m256i FallingTerm(int32_t start, int32_t factor, __m256i u) {
    return _mm256_srli_epi32(_mm256_sub_epi32(_mm256_set1_epi32(start), _mm256_mullo_epi32(u, _mm256_set1_epi32(factor))),
                             10);
}
KV_TARGET_AVX2 inline __m256i RisingTerm(int32_t factor, __m256i u) {
    return _mm256_srli_epi32(_mm256_add_epi32(_mm256_mullo_epi32(u, _mm256_set1_epi32(factor)),
                                              _mm256_set1_epi32(kLumaRound)),
                             10);
}

KV_TARGET_AVX2 inline __m256i WideLuma(__m256i r, __m256i g, __m256i b) {
    return _mm256_add_epi32(_mm256_add_epi32(RisingTerm(kLumaRed, r), RisingTerm(kLumaGreen, g)),
                            RisingTerm(kLumaBlue, b));
}

// Cb and Cr x 256 of single samples (pair 0) or pair sums (pair 1), as the chroma tables give them.
template <int Pair>
KV_TARGET_AVX2 inline void WideChroma(__m256i r, __m256i g, __m256i b, __m256i* cb, __m256i* cr) {
    constexpr int kStep = Pair == 0 ? 7 : 6;  // log2 of kHalfStep
    static_assert((1 << kStep) == kHalfStep[Pair]);
    *cb = _mm256_add_epi32(_mm256_add_epi32(FallingTerm(kCbRedStart, kCbRed[Pair], r),
                                            FallingTerm(kCbGreenStart, kCbGreen[Pair], g)),
                           _mm256_slli_epi32(b, kStep));
    *cr = _mm256_add_epi32(_mm256_add_epi32(_mm256_slli_epi32(r, kStep), FallingTerm(kCrGreenStart, kCrGreen[Pair], g)),
                           FallingTerm(kCrBlueStart, kCrBlue[Pair], b));
}

// 16 values of two vectors as 16-bit cells, in order (each value 0..65535).
KV_TARGET_AVX2 inline void StoreCells(uint16_t* out, __m256i first, __m256i second) {
    const __m256i packed = _mm256_permute4x64_epi64(_mm256_packus_epi32(first, second), 0xD8);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), packed);
}
// Eight values to each of two rows.
KV_TARGET_AVX2 inline void StoreCellPairs(uint16_t* first, uint16_t* second, __m256i a, __m256i b) {
    const __m256i packed = _mm256_permute4x64_epi64(_mm256_packus_epi32(a, b), 0xD8);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(first), _mm256_castsi256_si128(packed));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(second), _mm256_extracti128_si256(packed, 1));
}

// Colour path 2, eight pixels a turn; answers the pixels done (the rest go the table way). Reads at
// most 4 bytes past the last pixel done, within the repeated pixels after the row.
KV_TARGET_AVX2 int32_t WidePerPixelAvx2(const FastRows<uint16_t>& rows, int32_t width) {
    int32_t x = 0;
    for (; x + 8 <= width; x += 8) {
        const __m256i pixels = LoadEightPixels(rows.in + 3 * static_cast<std::ptrdiff_t>(x));
        const __m256i r = Channel(pixels, 0), g = Channel(pixels, 1), b = Channel(pixels, 2);
        __m256i cb, cr;
        WideChroma<0>(r, g, b, &cb, &cr);
        const __m256i y = WideLuma(r, g, b);
        const __m256i yPacked = _mm256_permute4x64_epi64(_mm256_packus_epi32(y, y), 0xD8);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(rows.y + x), _mm256_castsi256_si128(yPacked));
        StoreCellPairs(rows.cb + x, rows.cr + x, cb, cr);
    }
    return x;
}

// Colour path 3 with averaging, eight pairs (16 pixels) a turn; answers the pairs done. Reads at
// most 4 bytes past the last pixel done.
KV_TARGET_AVX2 int32_t WideAveragedPairsAvx2(const FastRows<uint16_t>& rows, int32_t pairs) {
    int32_t x = 0;
    for (; x + 8 <= pairs; x += 8) {
        const uint8_t* p = rows.in + 6 * static_cast<std::ptrdiff_t>(x);
        const __m256i first = LoadEightPixels(p), second = LoadEightPixels(p + 24);
        __m256i channels[2][3];
        KV_UNROLL
        for (int c = 0; c < 3; ++c) channels[0][c] = Channel(first, c), channels[1][c] = Channel(second, c);
        StoreCells(rows.y + 2 * x, WideLuma(channels[0][0], channels[0][1], channels[0][2]),
                   WideLuma(channels[1][0], channels[1][1], channels[1][2]));
        // Sums of neighbours: the horizontal adds leave pairs 0 1 4 5 | 2 3 6 7, which the
        // permutation puts in order.
        __m256i sums[3];
        KV_UNROLL
        for (int c = 0; c < 3; ++c) {
            sums[c] = _mm256_permute4x64_epi64(_mm256_hadd_epi32(channels[0][c], channels[1][c]), 0xD8);
        }
        __m256i cb, cr;
        WideChroma<1>(sums[0], sums[1], sums[2], &cb, &cr);
        StoreCellPairs(rows.cb + x, rows.cr + x, cb, cr);
    }
    return x;
}
#endif

// One chroma pair per pixel: colour paths 2 and 4 with every factor 1. K (fourth channel) copied.
// Two pixels a turn (below: two pairs) halve the loop's own instructions.
template <typename Form, int Channels, bool Vectors>
void ConvertPerPixel(CodecContext* context) {
    const PlacedTables<kSingleEntries> tables(context);
    const FastRows<typename Form::Cell> rows(context, Channels);
    const int32_t width = context->width;
    int32_t x = 0;
#if KV_AVX2
    if constexpr (Vectors && std::is_same_v<Form, WideForm> && Channels == 3) {
        if (context->colourTransform == 1 && simd::HasAvx2()) x = WidePerPixelAvx2(rows, width);
    }
#endif
    for (; x + 1 < width; x += 2) {
        ConvertPixel<Form, Channels>(tables, rows, x);
        ConvertPixel<Form, Channels>(tables, rows, x + 1);
    }
    if (x < width) ConvertPixel<Form, Channels>(tables, rows, x);
}

// Luma (and K) for every pixel, one chroma pair per two pixels: colour paths 3 and 5. The chroma of
// a pair comes from the sums of both pixels (averaging) or from its first pixel. With an odd width
// the last pair is the last pixel and its copy; the extra luma sample lies in the padding.
template <typename Form, int Channels, bool Averaging, bool Vectors>
void ConvertPairs(CodecContext* context) {
    const PlacedTables<Averaging ? kPairEntries : kSingleEntries> tables(context);
    const FastRows<typename Form::Cell> rows(context, Channels);
    const int32_t pairs = (context->width + 1) / 2;
    int32_t x = 0;
#if KV_AVX2
    if constexpr (Vectors && std::is_same_v<Form, WideForm> && Channels == 3 && Averaging) {
        if (context->colourTransform == 1 && simd::HasAvx2()) x = WideAveragedPairsAvx2(rows, pairs);
    }
#endif
    for (; x + 1 < pairs; x += 2) {
        ConvertPair<Form, Channels, Averaging>(tables, rows, x);
        ConvertPair<Form, Channels, Averaging>(tables, rows, x + 1);
    }
    if (x < pairs) ConvertPair<Form, Channels, Averaging>(tables, rows, x);
}

// --- General conversion: any sampling, with or without a transform ---

// Reads one component's value of a pixel for the general conversion.
template <typename Form>
struct ComponentSource {
    ColourTables tables;
    int channels;
    int index;
    int transform;
    int step;            // 2 in pair-sum chroma tables, else 1

    ComponentSource(const CodecContext* owner, int component)
        : tables(owner), channels(owner->componentCount), index(component),
          transform(owner->colourTransform), step(owner->chromaTableEntries == kPairEntries ? 2 : 1) {}

    // Whether pairs of pixels can be averaged through the pair-sum tables.
    bool HasPairs() const { return transform != 0 && index >= 1 && index <= 2 && step == 2; }

    // The value of pixel p: a raw channel without a transform and for K, else Y, Cb or Cr.
    uint32_t Value(const uint8_t* p) const {
        if (transform == 0 || index == 3) return p[index];
        if (index == 0) return Form::Luma(tables.Luma(ReadPixel(p)));
        const uint32_t word = tables.Chroma(ReadPixel(p), step);
        return index == 1 ? Form::Cb(word) : Form::Cr(word);
    }

    // The averaged chroma of the pixel pair p, q (HasPairs only).
    uint32_t Pair(const uint8_t* p, const uint8_t* q) const {
        const uint32_t word = tables.ChromaPair(ReadPixel(p), ReadPixel(q));
        return index == 1 ? Form::Cb(word) : Form::Cr(word);
    }
};

// Fills the target row of one component: every pixel when its H is the largest; otherwise groups of
// Hmax pixels subsampled to H samples by the subsampling table, or, for chroma averaged in pairs
// (Hmax = 2 x H), one sample per pair from the pair-sum tables.
template <typename Cell, typename Source>
void ConvertComponent(CodecContext* context, const Source& source) {
    Cell* out = TargetRow<Cell>(context, source.index);
    const int channels = source.channels;
    const uint8_t* in = context->inputRow;
    const int32_t width = context->width;
    const int largest = context->hMax;
    const int own = context->components[source.index].h;
    if (own == largest) {
        for (int32_t x = 0; x < width; ++x, in += channels) out[x] = static_cast<Cell>(source.Value(in));
        return;
    }
    if (source.HasPairs() && largest == 2 * own) {
        const int32_t pairs = (width + 1) / 2;
        for (int32_t x = 0; x < pairs; ++x, in += 2 * channels) {
            out[x] = static_cast<Cell>(source.Pair(in, in + channels));
        }
        return;
    }
    const SubsampleTap* taps = SubsampleTaps(context, largest, own);
    const int32_t groups = (width + largest - 1) / largest;
    for (int32_t group = 0; group < groups; ++group, out += own) {
        uint32_t values[4] = {0, 0, 0, 0};
        for (int i = 0; i < largest; ++i, in += channels) values[i] = source.Value(in);
        for (int j = 0; j < own; ++j) out[j] = static_cast<Cell>(ApplyTap(taps[j], values));
    }
}

// Converts every component by the general rule.
template <typename Form>
void ConvertGeneral(CodecContext* context) {
    for (int index = 0; index < context->componentCount; ++index) {
        const ComponentSource<Form> source(context, index);
        if (context->components[index].wideSamples) {
            ConvertComponent<uint16_t>(context, source);
        } else {
            ConvertComponent<uint8_t>(context, source);
        }
    }
}

// --- Right edge and vertical subsampling ---

// Merges the Vmax rows of the current group of a vertically subsampled component into its V rows,
// which stay at the group's first rows.
template <typename Cell>
void MergeRows(CodecContext* context, int index) {
    const int own = context->components[index].v;
    const int largest = context->vMax;
    const int first = context->rowGroup * own;
    const int32_t extent = RowExtent(context, index);
    if (context->averaging && largest == 2 && own == 1) {
        Cell* top = BufferRow<Cell>(context, index, first);
        const Cell* below = BufferRow<Cell>(context, index, first + 1);
        int32_t x = 0;
#if KV_SSE2
        // SSE2's unsigned average is exactly (a + b + 1) >> 1, for bytes and for 16-bit cells.
        constexpr int32_t kPerVector = 16 / static_cast<int32_t>(sizeof(Cell));
        for (; x + kPerVector <= extent; x += kPerVector) {
            const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(top + x));
            const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(below + x));
            const __m128i mean = sizeof(Cell) == 1 ? _mm_avg_epu8(a, b) : _mm_avg_epu16(a, b);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(top + x), mean);
        }
#endif
        for (; x < extent; ++x) top[x] = static_cast<Cell>((top[x] + below[x] + 1u) >> 1);
        return;
    }
    const SubsampleTap* taps = SubsampleTaps(context, largest, own);
    Cell* rows[4] = {};
    for (int r = 0; r < largest; ++r) rows[r] = BufferRow<Cell>(context, index, first + r);
    for (int32_t x = 0; x < extent; ++x) {
        // Every input of the column is read before an output overwrites one of them.
        uint32_t values[4] = {0, 0, 0, 0};
        for (int r = 0; r < largest; ++r) values[r] = rows[r][x];
        for (int j = 0; j < own; ++j) rows[j][x] = static_cast<Cell>(ApplyTap(taps[j], values));
    }
}

// Fills the right edge of the row just converted for one component and, at the last row of a group,
// merges the group's rows when the component is subsampled vertically.
template <typename Cell>
void PadAndDownsample(CodecContext* context, int index, bool lastRowOfGroup) {
    const EncoderEdge& edge = context->edges[index];
    const int valid = edge.validColumns;
    if (valid != 0) {
        Cell* block = TargetRow<Cell>(context, index) + edge.lastBlockStart;
        const uint8_t* fill = kEdgeFill[valid];
        for (int column = valid; column < 8; ++column) block[column] = block[fill[column]];
    }
    if (lastRowOfGroup && context->components[index].v < context->vMax) MergeRows<Cell>(context, index);
}

// PadAndDownsample for every component, each in its sample width.
void PadAllComponents(CodecContext* context) {
    const bool lastRowOfGroup = context->rowInGroup == context->vMax - 1;
    for (int index = 0; index < context->componentCount; ++index) {
        if (context->components[index].wideSamples) {
            PadAndDownsample<uint16_t>(context, index, lastRowOfGroup);
        } else {
            PadAndDownsample<uint8_t>(context, index, lastRowOfGroup);
        }
    }
}

// Splits a row without a transform: each channel to its component, subsampled where its H is below
// the largest; one channel is copied whole.
void SplitChannels(CodecContext* context) {
    if (context->componentCount == 1) {
        std::memcpy(TargetRow<uint8_t>(context, 0), context->inputRow, static_cast<std::size_t>(context->width));
        return;
    }
    ConvertGeneral<ByteForm>(context);
}

// Pairs of pixels of Channels channels, with or without averaging the chroma rows.
template <typename Form, int Channels, bool Vectors>
void ConvertPairsOf(CodecContext* context, bool averaging) {
    if (averaging) {
        ConvertPairs<Form, Channels, true, Vectors>(context);
    } else {
        ConvertPairs<Form, Channels, false, Vectors>(context);
    }
}

// Dispatches a row with a colour transform by colour path in the given sample form.
template <typename Form, bool Vectors>
void ConvertTransformed(CodecContext* context) {
    const bool averaging = context->averaging != 0;
    switch (context->colourPath) {
        case 2:
            ConvertPerPixel<Form, 3, Vectors>(context);
            return;
        case 3:
            ConvertPairsOf<Form, 3, Vectors>(context, averaging);
            return;
        case 4:
            // Path 4 fixes only components 0..2 at H = 1; a wider K needs the general rule.
            if (context->hMax == 1) {
                ConvertPerPixel<Form, 4, Vectors>(context);
            } else {
                ConvertGeneral<Form>(context);
            }
            return;
        case 5:
            ConvertPairsOf<Form, 4, Vectors>(context, averaging);
            return;
        default:
            ConvertGeneral<Form>(context);
            return;
    }
}

// Rounds down to a whole number of blocks.
inline int32_t BlockFloor(int32_t value) { return value & ~7; }

}  // namespace

// --- Geometry ---

void DeriveEdgeGeometry(CodecContext* context, int component) {
    const int32_t width = context->width;
    const int h = context->components[component].h;
    const int largest = context->hMax;
    int32_t padded;
    if (context->componentCount == 1) {
        padded = (width + 7) / 8 * 8;
    } else {
        const int32_t mcusAcross = (width + 8 * largest - 1) / (8 * largest);
        padded = mcusAcross * h * 8;
    }
    int32_t data;
    if (h == largest) {
        data = width;
    } else if (h == 2 && largest == 4) {
        data = (width + 1) / 2;
    } else {
        data = (width + largest - 1) / largest * h;
    }
    const int32_t pad = padded - data;
    EncoderEdge& edge = context->edges[component];
    edge.paddedWidth = padded;
    edge.dataWidth = data;
    edge.validColumns = ((h * 8 - pad) % 8 + 8) % 8;
    edge.lastBlockStart = padded - BlockFloor(pad) - 8;
}

// --- Tables ---

int32_t ForwardColourTableBytes(const CodecContext* context) {
    if (context->colourTransform == 0) return 0;
    const int32_t chromaEntries = context->averaging && context->hMax >= 2 ? kPairEntries : kSingleEntries;
    return static_cast<int32_t>(3 * (kLumaEntries + chromaEntries) * sizeof(int32_t));
}

void PlaceForwardColourTables(CodecContext* context, uint8_t* area) {
    const int32_t chromaEntries = context->averaging && context->hMax >= 2 ? kPairEntries : kSingleEntries;
    context->chromaTableEntries = chromaEntries;
    if (ForwardColourTableBytes(context) == 0) {
        for (int c = 0; c < 3; ++c) context->lumaTables[c] = context->chromaTables[c] = nullptr;
        return;
    }
    auto* entries = reinterpret_cast<int32_t*>(area);
    for (int c = 0; c < 3; ++c, entries += kLumaEntries) context->lumaTables[c] = entries;
    for (int c = 0; c < 3; ++c, entries += chromaEntries) context->chromaTables[c] = entries;
}

void BuildForwardColourTables(CodecContext* context) {
    const bool wide = context->preciseColour != 0;
    const bool inverted = context->colourTransform == 2;
    int32_t* lumaR = context->lumaTables[0];
    int32_t* lumaG = context->lumaTables[1];
    int32_t* lumaB = context->lumaTables[2];
    for (int32_t v = 0; v < kLumaEntries; ++v) {
        int32_t red, green, blue;
        if (wide) {
            red = inverted ? -((kLumaRed * v - kInvertedLumaStart) >> 10) : (kLumaRed * v + kLumaRound) >> 10;
            green = (kLumaGreen * v + kLumaRound) >> 10;
            blue = (kLumaBlue * v + kLumaRound) >> 10;
        } else {
            red = inverted ? kByteInvertedLumaStart - kByteLumaRed * v : kByteLumaRound + kByteLumaRed * v;
            green = kByteLumaGreen * v;
            blue = kByteLumaBlue * v;
        }
        lumaR[v] = red;
        lumaG[v] = inverted ? -green : green;
        lumaB[v] = inverted ? -blue : blue;
    }

    const int entries = context->chromaTableEntries;
    const int pair = entries == kPairEntries ? 1 : 0;
    const int32_t greenRounding = wide ? 0 : kByteGreenRounding;
    int32_t* chromaR = context->chromaTables[0];
    int32_t* chromaG = context->chromaTables[1];
    int32_t* chromaB = context->chromaTables[2];
    for (int32_t u = 0; u < entries; ++u) {
        const int32_t half = kHalfStep[pair] * u;
        if (!inverted) {
            chromaR[u] = PackChroma((kCbRedStart - kCbRed[pair] * u) >> 10, half);
            chromaG[u] = PackChroma((kCbGreenStart + greenRounding - kCbGreen[pair] * u) >> 10,
                                    (kCrGreenStart + greenRounding - kCrGreen[pair] * u) >> 10);
            chromaB[u] = PackChroma(half, (kCrBlueStart - kCrBlue[pair] * u) >> 10);
        } else {
            // C, M and Y are 255 - R, G, B: the same terms mirrored.
            chromaR[u] = PackChroma((kCbRed[pair] * u + kLumaRound) >> 10, kInvertedHalfStart - half);
            chromaG[u] = PackChroma((kCbGreen[pair] * u + kLumaRound + greenRounding) >> 10,
                                    (kCrGreen[pair] * u + kLumaRound + greenRounding) >> 10);
            chromaB[u] = PackChroma(kInvertedHalfStart - half, (kCrBlue[pair] * u + kLumaRound) >> 10);
        }
    }
}

// --- Rows ---

namespace {

template <bool Vectors>
void ConvertWide(CodecContext* context) {
    if (context->colourTransform == 0 || context->colourPath < 2) CodecBug();
    ConvertTransformed<WideForm, Vectors>(context);
    PadAllComponents(context);
}

template <bool Vectors>
void ConvertRow(CodecContext* context) {
    const int channels = context->componentCount;
    uint8_t* end = context->inputRow + static_cast<std::ptrdiff_t>(context->width) * channels;
    for (int copy = 0; copy < kRepeatedPixels; ++copy) {
        std::memcpy(end + copy * channels, end - channels, static_cast<std::size_t>(channels));
    }
    if (context->preciseColour) {
        ConvertWide<Vectors>(context);
    } else {
        ConvertInputRow8(context);
    }
}

}  // namespace

void ConvertInputRow(CodecContext* context) { ConvertRow<true>(context); }

void ConvertInputRowPortable(CodecContext* context) { ConvertRow<false>(context); }

void ConvertInputRow16(CodecContext* context) { ConvertWide<true>(context); }

void ConvertInputRow8(CodecContext* context) {
    if (context->colourTransform == 0) {
        SplitChannels(context);
    } else {
        ConvertTransformed<ByteForm, false>(context);
    }
    PadAllComponents(context);
}

void FinishLastRows(CodecContext* context) {
    const int largest = context->vMax;
    int repeats = 0;
    while (context->rowInGroup < largest - 1) {
        ++context->rowInGroup;
        ConvertInputRow(context);
        ++repeats;
    }
    // The group that holds the last image row, before the counter moves to the last group.
    const int group = context->rowGroup;
    for (int index = context->componentCount - 1; index >= 0; --index) {
        const ComponentInfo& component = context->components[index];
        const int own = component.v;
        int held = own * (group + 1);
        if (own == largest) {
            held -= repeats;
        } else if (largest == 4 && own == 2) {
            held -= repeats & 2;
        }
        const std::size_t rowBytes = static_cast<std::size_t>(component.rowWidth);
        const std::size_t extentBytes =
            static_cast<std::size_t>(RowExtent(context, index)) * (component.wideSamples ? 2 : 1);
        const int valid = held % 8;
        int firstCleared = held;
        if (valid != 0) {
            // The rest of the last block row takes rows above it, mirrored like the right edge.
            const int blockTop = held - valid;
            for (int row = valid; row < 8; ++row) {
                std::memcpy(BufferRow<uint8_t>(context, index, blockTop + row),
                            BufferRow<uint8_t>(context, index, blockTop + kEdgeFill[valid][row]), extentBytes);
            }
            firstCleared = blockTop + 8;
        }
        for (int row = firstCleared; row < own * 8; ++row) {
            std::memset(BufferRow<uint8_t>(context, index, row), 0, rowBytes);
        }
    }
    context->repeatedRows = repeats;
    context->rowGroup = 7;
    context->rowInGroup = largest - 1;
}

}  // namespace kv::codec
