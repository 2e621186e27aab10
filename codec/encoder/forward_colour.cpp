// Colour conversion, subsampling and edge padding for the encoder: one interleaved input row of
// 8-bit pixels in, one row of every component's sample buffer out (8-bit samples, or samples x 256
// in 16-bit cells), padded to whole blocks on the right and, at the image's end, at the bottom.
#include <cstddef>
#include <cstring>

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

// Stores a chroma sample; with Merge, averages it into the sample already there (the first row of
// the group, where the chroma rows cb and cr then point), (a + b + 1) / 2 as MergeRows would.
template <bool Merge, typename Cell>
KV_ALWAYS_INLINE void PutChroma(Cell* at, Cell value) {
    if constexpr (Merge) value = static_cast<Cell>((*at + value + 1u) >> 1);
    *at = value;
}

// Converts pixel x with a chroma pair of its own.
template <typename Form, int Channels, bool Merge = false>
KV_ALWAYS_INLINE void ConvertPixel(const PlacedTables<kSingleEntries>& tables, const FastRows<typename Form::Cell>& rows,
                                    int32_t x) {
    const uint8_t* at = rows.in + static_cast<std::ptrdiff_t>(x) * Channels;
    const Pixel pixel = ReadPixel(at);
    rows.y[x] = Form::Luma(tables.Luma(pixel));
    const uint32_t word = tables.Chroma(pixel);
    PutChroma<Merge>(rows.cb + x, Form::Cb(word));
    PutChroma<Merge>(rows.cr + x, Form::Cr(word));
    if constexpr (Channels == 4) rows.k[x] = at[3];
}

// Converts pixels 2x and 2x + 1, which share a chroma pair.
template <typename Form, int Channels, bool Averaging, bool Merge = false, typename Tables>
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
    PutChroma<Merge>(rows.cb + x, Form::Cb(word));
    PutChroma<Merge>(rows.cr + x, Form::Cr(word));
    if constexpr (Channels == 4) {
        rows.k[2 * x] = first[3];
        rows.k[2 * x + 1] = second[3];
    }
}


// One chroma pair per pixel, from pixel `from` on: colour paths 2 and 4 with every factor 1. K
// (fourth channel) copied. Two pixels a turn (below: two pairs) halve the loop's own instructions.
template <typename Form, int Channels, bool Merge = false>
void ConvertPerPixel(const CodecContext* context, const FastRows<typename Form::Cell>& rows, int32_t from = 0) {
    const PlacedTables<kSingleEntries> tables(context);
    const int32_t width = context->width;
    int32_t x = from;
    for (; x + 1 < width; x += 2) {
        ConvertPixel<Form, Channels, Merge>(tables, rows, x);
        ConvertPixel<Form, Channels, Merge>(tables, rows, x + 1);
    }
    if (x < width) ConvertPixel<Form, Channels, Merge>(tables, rows, x);
}

// Luma (and K) for every pixel, one chroma pair per two pixels, from pair `from` on: colour paths 3
// and 5. The chroma of a pair comes from the sums of both pixels (averaging) or from its first
// pixel. With an odd width the last pair is the last pixel and its copy; the extra luma sample lies
// in the padding.
template <typename Form, int Channels, bool Averaging, bool Merge = false>
void ConvertPairs(const CodecContext* context, const FastRows<typename Form::Cell>& rows, int32_t from = 0) {
    const PlacedTables<Averaging ? kPairEntries : kSingleEntries> tables(context);
    const int32_t pairs = (context->width + 1) / 2;
    int32_t x = from;
    for (; x + 1 < pairs; x += 2) {
        ConvertPair<Form, Channels, Averaging, Merge>(tables, rows, x);
        ConvertPair<Form, Channels, Averaging, Merge>(tables, rows, x + 1);
    }
    if (x < pairs) ConvertPair<Form, Channels, Averaging, Merge>(tables, rows, x);
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

// Fills the right edge of a row of one component from the valid columns of its last block.
template <typename Cell>
void PadRow(const CodecContext* context, int index, Cell* row) {
    const EncoderEdge& edge = context->edges[index];
    const int valid = edge.validColumns;
    if (valid != 0) {
        Cell* block = row + edge.lastBlockStart;
        const uint8_t* fill = kEdgeFill[valid];
        for (int column = valid; column < 8; ++column) block[column] = block[fill[column]];
    }
}

// Fills the right edge of the row just converted for one component and, at the last row of a group,
// merges the group's rows when the component is subsampled vertically.
template <typename Cell>
void PadAndDownsample(CodecContext* context, int index, bool lastRowOfGroup) {
    PadRow(context, index, TargetRow<Cell>(context, index));
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

#if KV_AVX2
// --- YCbCr in 16-bit lanes (AVX2) ---
//
// The 8.8 samples of YCbCr from RGB computed without the tables, 32 pixels a turn (16 on colour
// path 2), one sample per 16-bit lane. Each table entry is a whole number plus floor((k x v + 512) / 1024) for a channel
// value or pair sum v (0..510) and a signed factor k (the starts all end in 512 / 1024). For k in
// -32768..32767 that floor is exactly what vpmulhrsw makes of 32 x v and k: (32 v k + 2^14) >> 15.
// A larger factor is split into m x 32768 and such a rest, and its whole part m x 32 v joins the
// whole numbers. With V = 32 v for each channel (U = 32 u for pair sums) and f(k, V) that floor:
//   Y  = 2 R + 4 G + f(78381 - 2 x 32768, R) + f(153879 - 4 x 32768, G) + f(29884, B)
//   Cb = 32768 + 4 B - R - 2 G + f(-44233 + 32768, R) + f(-86839 + 2 x 32768, G)
//   Cr = 32768 + 4 R - 4 G + f(-109756 + 4 x 32768, G) + f(-21316, B)
// and from pair sums, with the halved factors
//   Cb = 32768 + 2 U_b - U_g + f(-22117, U_r) + f(-43419 + 32768, U_g)
//   Cr = 32768 + 2 U_r - 2 U_g + f(-54878 + 2 x 32768, U_g) + f(-10658, U_b)
// where 32768 is the whole parts of the two starts of each chroma (11072 + 21696, 27392 + 5376).
// The lanes add modulo 2^16, which is exact because every sample lies in 0..65535. On path 2 byte
// shuffles widen each channel straight into 16-bit lanes; on path 3 they gather each channel's
// bytes, and vpmaddubsw widens them, multiplies by 32 and adds the two pixels of a pair: weights
// (32, 0) give the even pixels, (0, 32) the odd ones, and luma is interleaved again as it is stored.

constexpr int32_t kRestUnit = 32768;  // the step between the factors vpmulhrsw takes whole

// The whole part of a chroma start.
constexpr int32_t StartWhole(int32_t start) { return start >> 10; }
static_assert((kCbRedStart & 1023) == 512 && (kCbGreenStart & 1023) == 512 && (kCrGreenStart & 1023) == 512 &&
              (kCrBlueStart & 1023) == 512);
constexpr int32_t kCbWhole = StartWhole(kCbRedStart) + StartWhole(kCbGreenStart);
constexpr int32_t kCrWhole = StartWhole(kCrGreenStart) + StartWhole(kCrBlueStart);

// f(Factor, V) in every lane: floor((Factor x v + 512) / 1024) for the 32 x v the lane holds.
template <int32_t Factor>
KV_ALWAYS_INLINE KV_TARGET_AVX2 __m256i Term(__m256i scaled) {
    static_assert(Factor >= -kRestUnit && Factor < kRestUnit);
    return _mm256_mulhrs_epi16(scaled, _mm256_set1_epi16(static_cast<int16_t>(Factor)));
}

// A whole number in every 16-bit lane, modulo 2^16.
KV_ALWAYS_INLINE KV_TARGET_AVX2 __m256i Whole(int32_t value) {
    return _mm256_set1_epi16(static_cast<int16_t>(static_cast<uint16_t>(value)));
}

KV_ALWAYS_INLINE KV_TARGET_AVX2 __m256i LumaLanes(__m256i r, __m256i g, __m256i b) {
    const __m256i whole = _mm256_slli_epi16(_mm256_add_epi16(r, _mm256_add_epi16(g, g)), 1);
    return _mm256_add_epi16(_mm256_add_epi16(whole, Term<kLumaRed - 2 * kRestUnit>(r)),
                            _mm256_add_epi16(Term<kLumaGreen - 4 * kRestUnit>(g), Term<kLumaBlue>(b)));
}

// Cb and Cr of single pixels (Pair 0) or of pair sums (Pair 1).
template <int Pair>
KV_ALWAYS_INLINE KV_TARGET_AVX2 __m256i CbLanes(__m256i r, __m256i g, __m256i b) {
    static_assert(kHalfStep[Pair] == (Pair == 0 ? 4 : 2) * 32);
    __m256i whole;
    if constexpr (Pair == 0) {
        whole = _mm256_sub_epi16(_mm256_slli_epi16(_mm256_sub_epi16(_mm256_add_epi16(b, b), g), 1), r);
    } else {
        whole = _mm256_sub_epi16(_mm256_add_epi16(b, b), g);
    }
    constexpr int32_t kRedRest = Pair == 0 ? -kCbRed[0] + kRestUnit : -kCbRed[1];
    constexpr int32_t kGreenRest = -kCbGreen[Pair] + (Pair == 0 ? 2 : 1) * kRestUnit;
    return _mm256_add_epi16(_mm256_add_epi16(whole, Whole(kCbWhole)),
                            _mm256_add_epi16(Term<kRedRest>(r), Term<kGreenRest>(g)));
}
template <int Pair>
KV_ALWAYS_INLINE KV_TARGET_AVX2 __m256i CrLanes(__m256i r, __m256i g, __m256i b) {
    const __m256i whole = _mm256_slli_epi16(_mm256_sub_epi16(r, g), Pair == 0 ? 2 : 1);
    constexpr int32_t kGreenRest = -kCrGreen[Pair] + (Pair == 0 ? 4 : 2) * kRestUnit;
    return _mm256_add_epi16(_mm256_add_epi16(whole, Whole(kCrWhole)),
                            _mm256_add_epi16(Term<kGreenRest>(g), Term<-kCrBlue[Pair]>(b)));
}

// vpshufb selections that gather channel c from the s-th 16 bytes of 16 pixels (48 bytes); 0x80
// where the byte lies in another 16. The same in both halves.
struct ChannelPicks {
    alignas(32) uint8_t bytes[3][3][32];
};
constexpr ChannelPicks MakeChannelPicks() {
    ChannelPicks picks{};
    for (int c = 0; c < 3; ++c) {
        for (int s = 0; s < 3; ++s) {
            for (int i = 0; i < 32; ++i) {
                const int at = 3 * (i % 16) + c - 16 * s;
                picks.bytes[c][s][i] = static_cast<uint8_t>(at >= 0 && at < 16 ? at : 0x80);
            }
        }
    }
    return picks;
}
constexpr ChannelPicks kChannelPicks = MakeChannelPicks();

// The three channels of the 32 pixels at p (96 bytes), each as 32 bytes in pixel order.
KV_ALWAYS_INLINE KV_TARGET_AVX2 void LoadChannels(const uint8_t* p, __m256i* channels) {
    __m256i sixteens[3];
    KV_UNROLL
    for (int s = 0; s < 3; ++s) {
        const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * s));
        const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 48 + 16 * s));
        sixteens[s] = _mm256_inserti128_si256(_mm256_castsi128_si256(low), high, 1);
    }
    KV_UNROLL
    for (int c = 0; c < 3; ++c) {
        const auto* picks = reinterpret_cast<const __m256i*>(kChannelPicks.bytes[c]);
        channels[c] = _mm256_or_si256(_mm256_or_si256(_mm256_shuffle_epi8(sixteens[0], _mm256_load_si256(picks)),
                                                      _mm256_shuffle_epi8(sixteens[1], _mm256_load_si256(picks + 1))),
                                      _mm256_shuffle_epi8(sixteens[2], _mm256_load_si256(picks + 2)));
    }
}

// vpshufb selections that widen channel c of 8 pixels (24 bytes) to 16-bit lanes from the first
// (s = 0) or the last (s = 1) 16 of those bytes; 0x80 for the high bytes and the bytes of the other 16.
struct WidePicks {
    alignas(32) uint8_t bytes[3][2][32];
};
constexpr WidePicks MakeWidePicks() {
    WidePicks picks{};
    for (int c = 0; c < 3; ++c) {
        for (int i = 0; i < 32; ++i) {
            const int at = 3 * (i % 16 / 2) + c;
            const bool low = i % 2 == 0;
            picks.bytes[c][0][i] = static_cast<uint8_t>(low && at < 16 ? at : 0x80);
            picks.bytes[c][1][i] = static_cast<uint8_t>(low && at >= 16 ? at - 8 : 0x80);
        }
    }
    return picks;
}
constexpr WidePicks kWidePicks = MakeWidePicks();

// 32 x the three channels of the 16 pixels at p (48 bytes), in pixel order.
KV_ALWAYS_INLINE KV_TARGET_AVX2 void LoadWideChannels(const uint8_t* p, __m256i* channels) {
    const auto load = [](const uint8_t* at) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at)); };
    const __m256i first = _mm256_inserti128_si256(_mm256_castsi128_si256(load(p)), load(p + 24), 1);
    const __m256i last = _mm256_inserti128_si256(_mm256_castsi128_si256(load(p + 8)), load(p + 32), 1);
    KV_UNROLL
    for (int c = 0; c < 3; ++c) {
        const auto* picks = reinterpret_cast<const __m256i*>(kWidePicks.bytes[c]);
        channels[c] = _mm256_slli_epi16(_mm256_or_si256(_mm256_shuffle_epi8(first, _mm256_load_si256(picks)),
                                                        _mm256_shuffle_epi8(last, _mm256_load_si256(picks + 1))),
                                        5);
    }
}

// 32 x the even and odd pixels' channels: lanes 0..7 pixels 0, 2 .. 14, lanes 8..15 pixels 16 .. 30
// (odd: one more).
struct EvenOdd {
    __m256i even[3];
    __m256i odd[3];
};
KV_ALWAYS_INLINE KV_TARGET_AVX2 EvenOdd SplitEvenOdd(const __m256i* channels) {
    const __m256i evenWeights = _mm256_set1_epi16(0x0020), oddWeights = _mm256_set1_epi16(0x2000);
    EvenOdd split;
    KV_UNROLL
    for (int c = 0; c < 3; ++c) {
        split.even[c] = _mm256_maddubs_epi16(channels[c], evenWeights);
        split.odd[c] = _mm256_maddubs_epi16(channels[c], oddWeights);
    }
    return split;
}

// 16 samples to `at`; with Merge averaged into the 16 there.
template <bool Merge>
KV_ALWAYS_INLINE KV_TARGET_AVX2 void PutLanes(uint16_t* at, __m256i samples) {
    auto* place = reinterpret_cast<__m256i*>(at);
    if constexpr (Merge) samples = _mm256_avg_epu16(samples, _mm256_loadu_si256(place));
    _mm256_storeu_si256(place, samples);
}
// The 32 samples of the even and odd pixels, in pixel order.
template <bool Merge>
KV_ALWAYS_INLINE KV_TARGET_AVX2 void PutEvenOdd(uint16_t* at, __m256i even, __m256i odd) {
    const __m256i low = _mm256_unpacklo_epi16(even, odd), high = _mm256_unpackhi_epi16(even, odd);
    PutLanes<Merge>(at, _mm256_permute2x128_si256(low, high, 0x20));
    PutLanes<Merge>(at + 16, _mm256_permute2x128_si256(low, high, 0x31));
}

// Colour path 2, 16 pixels a turn; answers the pixels done. Reads only the row's own pixels.
template <bool Merge>
KV_TARGET_AVX2 int32_t WidePerPixelAvx2(const FastRows<uint16_t>& rows, int32_t width) {
    // The rows in locals: as far as the compiler knows, the stores could change `rows`.
    const uint8_t* in = rows.in;
    uint16_t *y = rows.y, *cb = rows.cb, *cr = rows.cr;
    int32_t x = 0;
    for (; x + 16 <= width; x += 16, in += 48) {
        __m256i v[3];
        LoadWideChannels(in, v);
        PutLanes<false>(y + x, LumaLanes(v[0], v[1], v[2]));
        PutLanes<Merge>(cb + x, CbLanes<0>(v[0], v[1], v[2]));
        PutLanes<Merge>(cr + x, CrLanes<0>(v[0], v[1], v[2]));
    }
    return x;
}

// Colour path 3 with averaging, 16 pairs (32 pixels) a turn; answers the pairs done. Reads only the
// pixels of those pairs.
template <bool Merge>
KV_TARGET_AVX2 int32_t WideAveragedPairsAvx2(const FastRows<uint16_t>& rows, int32_t pairs) {
    const uint8_t* in = rows.in;
    uint16_t *y = rows.y, *cb = rows.cb, *cr = rows.cr;
    int32_t x = 0;
    for (; x + 16 <= pairs; x += 16, in += 96, y += 32) {
        __m256i channels[3];
        LoadChannels(in, channels);
        const EvenOdd v = SplitEvenOdd(channels);
        __m256i sums[3];
        KV_UNROLL
        for (int c = 0; c < 3; ++c) sums[c] = _mm256_add_epi16(v.even[c], v.odd[c]);
        PutLanes<Merge>(cb + x, CbLanes<1>(sums[0], sums[1], sums[2]));
        PutLanes<Merge>(cr + x, CrLanes<1>(sums[0], sums[1], sums[2]));
        PutEvenOdd<false>(y, LumaLanes(v.even[0], v.even[1], v.even[2]), LumaLanes(v.odd[0], v.odd[1], v.odd[2]));
    }
    return x;
}

// --- The same in 32-lane registers (AVX-512) ---
//
// The terms and sums above, 64 pixels a turn. Each channel's bytes are gathered across the whole
// register by byte permutes of two of the three 64-byte loads (vpermt2b, and a masked vpermb for
// the third), which makes the widening and pair sums come out in pixel order.

template <int32_t Factor>
KV_ALWAYS_INLINE KV_TARGET_AVX512 __m512i Term512(__m512i scaled) {
    static_assert(Factor >= -kRestUnit && Factor < kRestUnit);
    return _mm512_mulhrs_epi16(scaled, _mm512_set1_epi16(static_cast<int16_t>(Factor)));
}
KV_ALWAYS_INLINE KV_TARGET_AVX512 __m512i Whole512(int32_t value) {
    return _mm512_set1_epi16(static_cast<int16_t>(static_cast<uint16_t>(value)));
}
KV_ALWAYS_INLINE KV_TARGET_AVX512 __m512i Luma512(__m512i r, __m512i g, __m512i b) {
    const __m512i whole = _mm512_slli_epi16(_mm512_add_epi16(r, _mm512_add_epi16(g, g)), 1);
    return _mm512_add_epi16(_mm512_add_epi16(whole, Term512<kLumaRed - 2 * kRestUnit>(r)),
                            _mm512_add_epi16(Term512<kLumaGreen - 4 * kRestUnit>(g), Term512<kLumaBlue>(b)));
}
template <int Pair>
KV_ALWAYS_INLINE KV_TARGET_AVX512 __m512i Cb512(__m512i r, __m512i g, __m512i b) {
    __m512i whole;
    if constexpr (Pair == 0) {
        whole = _mm512_sub_epi16(_mm512_slli_epi16(_mm512_sub_epi16(_mm512_add_epi16(b, b), g), 1), r);
    } else {
        whole = _mm512_sub_epi16(_mm512_add_epi16(b, b), g);
    }
    constexpr int32_t kRedRest = Pair == 0 ? -kCbRed[0] + kRestUnit : -kCbRed[1];
    constexpr int32_t kGreenRest = -kCbGreen[Pair] + (Pair == 0 ? 2 : 1) * kRestUnit;
    return _mm512_add_epi16(_mm512_add_epi16(whole, Whole512(kCbWhole)),
                            _mm512_add_epi16(Term512<kRedRest>(r), Term512<kGreenRest>(g)));
}
template <int Pair>
KV_ALWAYS_INLINE KV_TARGET_AVX512 __m512i Cr512(__m512i r, __m512i g, __m512i b) {
    const __m512i whole = _mm512_slli_epi16(_mm512_sub_epi16(r, g), Pair == 0 ? 2 : 1);
    constexpr int32_t kGreenRest = -kCrGreen[Pair] + (Pair == 0 ? 4 : 2) * kRestUnit;
    return _mm512_add_epi16(_mm512_add_epi16(whole, Whole512(kCrWhole)),
                            _mm512_add_epi16(Term512<kGreenRest>(g), Term512<-kCrBlue[Pair]>(b)));
}

// Permute indices for 64 pixels (192 bytes in three registers a, b, c). bytes: channel k of pixel i
// from a and b (index 3i + k below 128), fromC the rest from c (bit i of takeC). wide: channel k
// of pixels 0..31 (from a, b) and 32..63 (from b, c) into the low bytes of 16-bit lanes.
// interleave: the even and odd pixels' 16-bit samples back in pixel order, first and second half.
struct Permutes512 {
    alignas(64) uint8_t bytes[3][64];
    alignas(64) uint8_t fromC[3][64];
    uint64_t takeC[3];
    alignas(64) uint8_t wide[2][3][64];
    alignas(64) uint16_t interleave[2][32];
};
constexpr Permutes512 MakePermutes512() {
    Permutes512 t{};
    for (int k = 0; k < 3; ++k) {
        for (int i = 0; i < 64; ++i) {
            const int at = 3 * i + k;
            t.bytes[k][i] = static_cast<uint8_t>(at < 128 ? at : 0);
            t.fromC[k][i] = static_cast<uint8_t>(at < 128 ? 0 : at - 128);
            if (at >= 128) t.takeC[k] |= uint64_t{1} << i;
            t.wide[0][k][i] = static_cast<uint8_t>(3 * (i / 2) + k);
            t.wide[1][k][i] = static_cast<uint8_t>(3 * (i / 2) + k + 32);
        }
    }
    for (int i = 0; i < 32; ++i) {
        t.interleave[0][i] = static_cast<uint16_t>(i / 2 + (i % 2 == 0 ? 0 : 32));
        t.interleave[1][i] = static_cast<uint16_t>(16 + i / 2 + (i % 2 == 0 ? 0 : 32));
    }
    return t;
}
constexpr Permutes512 kPermutes512 = MakePermutes512();

template <bool Merge>
KV_ALWAYS_INLINE KV_TARGET_AVX512 void Put512(uint16_t* at, __m512i samples) {
    if constexpr (Merge) samples = _mm512_avg_epu16(samples, _mm512_loadu_si512(at));
    _mm512_storeu_si512(at, samples);
}

// Colour path 2, 64 pixels a turn; answers the pixels done.
template <bool Merge>
KV_TARGET_AVX512 int32_t WidePerPixelAvx512(const FastRows<uint16_t>& rows, int32_t width) {
    const uint8_t* in = rows.in;
    uint16_t *y = rows.y, *cb = rows.cb, *cr = rows.cr;
    constexpr __mmask64 kLowBytes = 0x5555555555555555;
    int32_t x = 0;
    for (; x + 64 <= width; x += 64, in += 192) {
        const __m512i a = _mm512_loadu_si512(in), b = _mm512_loadu_si512(in + 64), c = _mm512_loadu_si512(in + 128);
        KV_UNROLL
        for (int half = 0; half < 2; ++half) {
            __m512i v[3];
            KV_UNROLL
            for (int k = 0; k < 3; ++k) {
                const __m512i pick = _mm512_load_si512(kPermutes512.wide[half][k]);
                v[k] = _mm512_slli_epi16(half == 0 ? _mm512_maskz_permutex2var_epi8(kLowBytes, a, pick, b)
                                                   : _mm512_maskz_permutex2var_epi8(kLowBytes, b, pick, c),
                                         5);
            }
            const int32_t at = x + 32 * half;
            Put512<false>(y + at, Luma512(v[0], v[1], v[2]));
            Put512<Merge>(cb + at, Cb512<0>(v[0], v[1], v[2]));
            Put512<Merge>(cr + at, Cr512<0>(v[0], v[1], v[2]));
        }
    }
    return x;
}

// Colour path 3 with averaging, 32 pairs (64 pixels) a turn; answers the pairs done.
template <bool Merge>
KV_TARGET_AVX512 int32_t WideAveragedPairsAvx512(const FastRows<uint16_t>& rows, int32_t pairs) {
    const uint8_t* in = rows.in;
    uint16_t *y = rows.y, *cb = rows.cb, *cr = rows.cr;
    const __m512i evenWeights = _mm512_set1_epi16(0x0020), oddWeights = _mm512_set1_epi16(0x2000);
    int32_t x = 0;
    for (; x + 32 <= pairs; x += 32, in += 192, y += 64) {
        const __m512i a = _mm512_loadu_si512(in), b = _mm512_loadu_si512(in + 64), c = _mm512_loadu_si512(in + 128);
        __m512i even[3], odd[3], sums[3];
        KV_UNROLL
        for (int k = 0; k < 3; ++k) {
            const __m512i fromAB = _mm512_permutex2var_epi8(a, _mm512_load_si512(kPermutes512.bytes[k]), b);
            const __m512i bytes =
                _mm512_mask_permutexvar_epi8(fromAB, kPermutes512.takeC[k], _mm512_load_si512(kPermutes512.fromC[k]), c);
            even[k] = _mm512_maddubs_epi16(bytes, evenWeights);
            odd[k] = _mm512_maddubs_epi16(bytes, oddWeights);
            sums[k] = _mm512_add_epi16(even[k], odd[k]);
        }
        Put512<Merge>(cb + x, Cb512<1>(sums[0], sums[1], sums[2]));
        Put512<Merge>(cr + x, Cr512<1>(sums[0], sums[1], sums[2]));
        const __m512i evens = Luma512(even[0], even[1], even[2]), odds = Luma512(odd[0], odd[1], odd[2]);
        _mm512_storeu_si512(y, _mm512_permutex2var_epi16(evens, _mm512_load_si512(kPermutes512.interleave[0]), odds));
        _mm512_storeu_si512(y + 32, _mm512_permutex2var_epi16(evens, _mm512_load_si512(kPermutes512.interleave[1]), odds));
    }
    return x;
}

// Whether this row's chroma is averaged into the group's first row as it is converted: both chroma
// components have V = 1 under Vmax 2 with averaging, and the row is the group's second. MergeRows
// then has nothing left to do for them.
bool MergesChromaNow(const CodecContext* context) {
    return context->averaging && context->vMax == 2 && context->rowInGroup == 1 && context->components[1].v == 1 &&
           context->components[2].v == 1;
}

// One of the two paths with its table-driven rest and the right edge.
template <bool Merge>
void ConvertWideRowAvx2(CodecContext* context, FastRows<uint16_t> rows) {
    const bool wider = simd::HasAvx512();
    if (context->colourPath == 2) {
        const int32_t width = context->width;
        const int32_t done = wider ? WidePerPixelAvx512<Merge>(rows, width) : WidePerPixelAvx2<Merge>(rows, width);
        ConvertPerPixel<WideForm, 3, Merge>(context, rows, done);
    } else {
        const int32_t pairs = (context->width + 1) / 2;
        const int32_t done = wider ? WideAveragedPairsAvx512<Merge>(rows, pairs) : WideAveragedPairsAvx2<Merge>(rows, pairs);
        ConvertPairs<WideForm, 3, true, Merge>(context, rows, done);
    }
    if constexpr (Merge) {
        PadRow(context, 0, rows.y);
        PadRow(context, 1, rows.cb);
        PadRow(context, 2, rows.cr);
    } else {
        PadAllComponents(context);
    }
}

// A 16-bit row of YCbCr from RGB on colour path 2, or 3 with averaging, by AVX2 where the processor
// has it, padded and merged as PadAllComponents would; answers false, having done nothing, for any
// other row. At the second row of a 4:2:0 group the chroma goes straight into the first row.
bool ConvertWideAvx2(CodecContext* context) {
    const int path = context->colourPath;
    if (context->colourTransform != 1 || !(path == 2 || (path == 3 && context->averaging)) || !simd::HasAvx2()) {
        return false;
    }
    FastRows<uint16_t> rows(context, 3);
    if (MergesChromaNow(context)) {
        rows.cb = BufferRow<uint16_t>(context, 1, context->rowGroup);
        rows.cr = BufferRow<uint16_t>(context, 2, context->rowGroup);
        ConvertWideRowAvx2<true>(context, rows);
    } else {
        ConvertWideRowAvx2<false>(context, rows);
    }
    return true;
}
#endif

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
template <typename Form, int Channels>
void ConvertPairsOf(CodecContext* context, bool averaging) {
    const FastRows<typename Form::Cell> rows(context, Channels);
    if (averaging) {
        ConvertPairs<Form, Channels, true>(context, rows);
    } else {
        ConvertPairs<Form, Channels, false>(context, rows);
    }
}

// Dispatches a row with a colour transform by colour path in the given sample form.
template <typename Form>
void ConvertTransformed(CodecContext* context) {
    const bool averaging = context->averaging != 0;
    switch (context->colourPath) {
        case 2:
            ConvertPerPixel<Form, 3>(context, FastRows<typename Form::Cell>(context, 3));
            return;
        case 3:
            ConvertPairsOf<Form, 3>(context, averaging);
            return;
        case 4:
            // Path 4 fixes only components 0..2 at H = 1; a wider K needs the general rule.
            if (context->hMax == 1) {
                ConvertPerPixel<Form, 4>(context, FastRows<typename Form::Cell>(context, 4));
            } else {
                ConvertGeneral<Form>(context);
            }
            return;
        case 5:
            ConvertPairsOf<Form, 4>(context, averaging);
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
#if KV_AVX2
    if (Vectors && ConvertWideAvx2(context)) return;
#endif
    ConvertTransformed<WideForm>(context);
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
        ConvertTransformed<ByteForm>(context);
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
