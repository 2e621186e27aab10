// Huffman encoding: the encoder's code tables, block coding and the MCU rows of a sequential scan with restart markers.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "codec/codec_context.h"
#include "codec/encoder/bit_writer.h"

namespace kv::codec {

// Bit length of each value below 64; a magnitude m below 4096 has BitLengthTable[m] bits when m < 64,
// else BitLengthTable[m >> 6] + 6.
extern const uint8_t BitLengthTable[64];

// Number of bits of a magnitude (the table covers everything below 4096, which is every quantised
// coefficient and DC difference of 8-bit samples).
inline int MagnitudeBits(uint32_t magnitude) {
    if (magnitude < 64) return BitLengthTable[magnitude];
    if (magnitude < 4096) return BitLengthTable[magnitude >> 6] + 6;
    return std::bit_width(magnitude);
}

// MagnitudeBits of a magnitude known not to be 0: one bit scan.
inline int NonzeroMagnitudeBits(uint32_t magnitude) {
#if defined(__GNUC__) || defined(__clang__)
    // The index of the top bit plus one: written so that it compiles to one bit scan and an add.
    return (31 ^ __builtin_clz(magnitude)) + 1;
#else
    return std::bit_width(magnitude);
#endif
}

// Turns a table slot's definition into codes and total lengths (kind 0 DC, 1 AC); refuses values
// that cannot be coded. A symbol the table has no code for gets length kNoCodeLength.
void DeriveEncoderCodes(CodecContext* context, const HuffmanTable* table, HuffmanCodes* codes, int kind);

// AC table indices of the size-0 symbols.
inline constexpr int kEndOfBlockIndex = 0;
inline constexpr int kZeroRunIndex = 15;

// Counts the symbol in the statistics pass; else writes its code followed by the low `extra` bits.
inline void EmitSymbol(CodecContext* context, uint32_t* counts, const HuffmanCodes& codes, int symbol, int extra,
                       uint32_t bits) {
    if (context->statisticsPass) {
        ++counts[symbol];
        return;
    }
    const uint32_t mask = (1u << extra) - 1;
    PutBits(context, (static_cast<uint32_t>(codes.code[symbol]) << extra) | (bits & mask), codes.length[symbol]);
}

// Writes the DC code of a size category with its value bits, or counts it in a statistics pass.
inline void EmitDc(CodecContext* context, int slot, int size, uint32_t bits) {
    EmitSymbol(context, context->dcCounts[slot], context->dcCodes[slot], size, size, bits);
}
// Writes the AC code of an index with `extra` value bits, or counts it in a statistics pass.
inline void EmitAc(CodecContext* context, int slot, int index, int extra, uint32_t bits) {
    EmitSymbol(context, context->acCounts[slot], context->acCodes[slot], index, extra, bits);
}

// The sizes a 16-bit cell's value can have (0..16 bits of magnitude).
inline constexpr int kSymbolSizes = 17;

// The key of each of a block's 64 cells (zig-zag order) to its AC symbol in the block coder's tables:
// the size of its value x 32, plus 16 for a negative value. SymbolKeys takes the processor's vector
// form; the portable form says what each computes.
void SymbolKeys(const int16_t* cells, uint16_t* keys);
void SymbolKeysPortable(const int16_t* cells, uint16_t* keys);

// Codes (or counts) one quantised block of a sequential scan: DC difference, AC runs up to L, EOB.
void CodeSequentialBlock(CodecContext* context, ScanComponent* scan, const int16_t* coefficients, int last);
// The same for a block of the coefficient buffer kept in 8-bit cells.
void CodeSequentialBlock(CodecContext* context, ScanComponent* scan, const int8_t* coefficients, int last);

// The record of a block in a component's coefficient buffer.
inline uint8_t* BufferedBlock(const ComponentInfo* component, int blockRow, int blockColumn) {
    const std::size_t index = static_cast<std::size_t>(blockRow) * (component->planeWidth / 8) + blockColumn;
    return component->plane + index * 65 * component->planeCellBytes;
}

// Resets the DC predictors and the restart state for a new scan.
void StartScanState(CodecContext* context);

// Counts down to the next restart point (when an interval is set); answers true there, with the
// countdown reloaded.
bool RestartDue(CodecContext* context);
// At a restart point: the DC predictors restart and, unless counting, the partial byte is completed
// and the next restart marker written.
void WriteRestart(CodecContext* context);

// Codes one MCU row of the current sequential scan from the component sample buffers, or keeps its
// quantised blocks in the coefficient buffer when the whole image is buffered.
void EncodeMcuRow(CodecContext* context);

}  // namespace kv::codec
