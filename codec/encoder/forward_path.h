// The encoder's forward path: interleaved 8-bit input rows in, component sample rows (8-bit, or 8.8
// fixed point in 16-bit cells) padded to whole blocks, then 8x8 blocks of quantised coefficients out.
#pragma once

#include <cstdint>

#include "codec/codec_context.h"

namespace kv::codec {

// Per natural (row-major) position (u, v): 2^18 x a(u) x a(v) rounded, with a(0) = a(4) = 1 and
// a(k) = sqrt(2) x cos(k x pi / 16); entry (6, 5) holds 111467. Scales thresholds and divisors to
// the forward DCT's output.
extern const uint32_t AanScaleTable[64];

// --- Right edge ---

// Derives the right-edge geometry of one component into edges[component]; needs SetupFrame first.
void DeriveEdgeGeometry(CodecContext* context, int component);

// Whether the block at this block column lies at or beyond the end of the last block holding data
// in its block row (such a block is coded as a repeat of the DC predictor with no AC).
inline bool BlockOutsideData(const CodecContext* context, int component, int blockColumn) {
    return blockColumn * 8 >= context->edges[component].lastBlockStart + 8;
}

// --- Colour conversion and subsampling ---

// Bytes the forward colour tables need: three luma tables of 256 entries and three packed chroma
// tables of chromaTableEntries (256, or 511 when averaging pair sums), 4 bytes each; 0 without a
// colour transform.
int32_t ForwardColourTableBytes(const CodecContext* context);

// Points lumaTables and chromaTables into an area of ForwardColourTableBytes bytes (4-aligned) and
// sets chromaTableEntries.
void PlaceForwardColourTables(CodecContext* context, uint8_t* area);

// Fills the forward colour tables for the resolved colour transform (1 or 2), in the 16-bit form
// when preciseColour is set and the 8-bit form otherwise.
void BuildForwardColourTables(CodecContext* context);

// Converts inputRow into row rowInGroup of group rowGroup of every component, fills the right edge
// and, at the last row of a group, merges the rows of vertically subsampled components (the vector
// form may average that row straight into the merged one, leaving its own row unwritten). Repeats
// the row's last pixel three more times after its end first.
void ConvertInputRow(CodecContext* context);
// The same without the vector paths.
void ConvertInputRowPortable(CodecContext* context);

// The two forms behind ConvertInputRow (without the last-pixel repeat): 8.8 samples in 16-bit cells
// for components 0..2, and 8-bit samples.
void ConvertInputRow16(CodecContext* context);
void ConvertInputRow8(CodecContext* context);

// After the last image row: completes the row group by converting the last row again, fills the
// last block row of each component downwards and clears the block rows below it, records
// repeatedRows, and moves the counters to the end of the MCU row (rowGroup 7, rowInGroup Vmax-1).
void FinishLastRows(CodecContext* context);

// --- Forward DCT and quantisation ---

// Fills thresholds[t] (natural order) and divisors[t] (zig-zag order) for every table t below
// quantTableCount.
void PrepareDivisors(CodecContext* context);

// Fills reciprocals[table] and reciprocalShifts[table] from divisors[table] (PrepareDivisors does it
// for every table): for the doubled divisor D (2 to 2^31) and s the bits of D - 1, the reciprocal is
// floor(2^(32 + s) / D) + 1 less 2^32, which fits 32 bits.
void PrepareReciprocals(CodecContext* context, int table);

// n / D rounded down for every n below 2^32, by the reciprocal and shift PrepareReciprocals made for D:
// floor(n x (2^32 + reciprocal) / 2^(32 + s)).
inline uint32_t DivideByReciprocal(uint32_t n, uint32_t reciprocal, int shift) {
    const uint64_t wide = n;
    return static_cast<uint32_t>((wide + ((wide * reciprocal) >> 32)) >> shift);
}

// Transforms the 8x8 block whose top-left sample is at firstSample (rows rowWidth bytes apart; 16-bit
// cells when the component has wideSamples) into 64 values in natural order, scaled by
// 2^19 x a(u) x a(v) against the level-shifted DCT.
void ForwardDct(CodecContext* context, int32_t* out, const uint8_t* firstSample, const ComponentInfo* component);

// Quantises a transformed block with table `table` into 64 coefficients in zig-zag order (zero past
// the answer and where insignificant) and answers the last significant index 0..63.
int QuantiseBlock(CodecContext* context, const int32_t* dct, int16_t* coefficients, int table);

// ForwardDct and QuantiseBlock in one, with the component's table: the same coefficients and answer.
int TransformAndQuantise(CodecContext* context, int16_t* coefficients, const uint8_t* firstSample,
                         const ComponentInfo* component);

// What the coding of a quantised block needs besides its DC: bit k (1..63) set where coefficient k is
// not 0, and the last significant index L.
struct QuantisedBlock {
    uint64_t nonzero;
    int last;
};

// The form of TransformAndQuantise for the component, chosen once for a run of its blocks. It writes
// coefficient 0 and the significant ones, and may leave the others as they were (a caller that keeps
// all 64 clears the block first); it answers the nonzero cells and L.
using BlockQuantiser = QuantisedBlock (*)(CodecContext* context, int16_t* coefficients, const uint8_t* firstSample,
                                          const ComponentInfo* component);
BlockQuantiser TransformAndQuantiseFor(const ComponentInfo* component);

// A table's divisors, reciprocals and shifts less one in natural order, for quantising every position
// of a block at once, and its thresholds t with 2t (modulo 2^32) for the significance test
// (PrepareNaturalDivisors, once per row).
struct NaturalDivisors {
    alignas(32) uint32_t divisors[64];
    alignas(32) uint32_t reciprocals[64];
    alignas(32) uint32_t shifts[64];
    alignas(32) uint32_t thresholds[64];
    alignas(32) uint32_t doubledThresholds[64];
    // For two blocks at once (the AVX-512 form, and filled only where it runs): the same five tables
    // with each row twice over (entry 16u + j holds row u's entry j % 8), and the reciprocals of the
    // odd positions once more, each in the even entry before it.
    struct BothBlocks {
        alignas(64) uint32_t divisors[128];
        alignas(64) uint32_t reciprocals[128];
        alignas(64) uint32_t oddReciprocals[128];
        alignas(64) uint32_t shifts[128];
        alignas(64) uint32_t thresholds[128];
        alignas(64) uint32_t doubledThresholds[128];
    } both;
};
void PrepareNaturalDivisors(const CodecContext* context, int table, NaturalDivisors* natural);

// The same for `count` blocks side by side in a block row, the first at firstSample: block j's
// coefficients into cells[j], its answer into out[j]. One call for the run; `natural` is the
// component's table as PrepareNaturalDivisors gives it.
using RunQuantiser = void (*)(CodecContext* context, const ComponentInfo* component, const NaturalDivisors* natural,
                              const uint8_t* firstSample, int count, int16_t (*cells)[64], QuantisedBlock* out);
RunQuantiser RunQuantiserFor(const ComponentInfo* component);

// ForwardDct and QuantiseBlock one row, column or coefficient at a time in plain C++: what those run
// where SSE2 is not available, and on x86 a second implementation to check the vector ones against.
// Same contracts and results.
void ForwardDctPortable(CodecContext* context, int32_t* out, const uint8_t* firstSample,
                        const ComponentInfo* component);
int QuantiseBlockPortable(CodecContext* context, const int32_t* dct, int16_t* coefficients, int table);

}  // namespace kv::codec
