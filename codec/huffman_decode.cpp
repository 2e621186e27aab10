// Huffman decoding: look-up tables, restarts and the MCU-row decode of sequential scans. Input:
// bytes of entropy-coded data from the context's source; output: dequantised blocks handed to the
// inverse DCT, which writes samples into the components' sample buffers.
#include "codec/mcu_walk.h"
#include "codec/huffman_decode.h"

#include <bit>
#include <climits>
#include <cstring>

#include "codec/bit_reader.h"
#include "codec/codec_errors.h"
#include "codec/huffman_tables.h"
#include "codec/inverse_dct.h"
#include "codec/simd.h"

namespace kv::codec {

namespace {

constexpr int kLookaheadBits = 7;

// Entry of the look-ahead table that sends the search to the max-code array from length `first`.
constexpr uint16_t SearchFrom(int first) { return static_cast<uint16_t>(16 + (first - 1)); }

// An entry of the one-step table (see DecodeSymbol).
constexpr int32_t FastEntry(int32_t value, int symbol, bool whole, int bits) {
    return static_cast<int32_t>(static_cast<uint32_t>(value) << 16) | symbol << 8 | (whole ? kFastWhole : 0) | bits;
}

// A value from its size category (1..16) and the bits that follow the code.
constexpr int32_t ExtendValue(uint32_t raw, int size) {
    const auto value = static_cast<int32_t>(raw);
    return value >= (1 << (size - 1)) ? value : value + 1 - (1 << size);
}

// Stores `count` (a power of two) copies of entry from `to` on: most of a one-step table is runs
// of 4 to 256 equal entries.
KV_ALWAYS_INLINE void FillEntries(int32_t* to, uint32_t count, int32_t entry) {
#if KV_SSE2
    if (count >= 4) {
        const __m128i lanes = _mm_set1_epi32(entry);
        for (uint32_t i = 0; i < count; i += 4) _mm_storeu_si128(reinterpret_cast<__m128i*>(to + i), lanes);
        return;
    }
#endif
    for (uint32_t i = 0; i < count; ++i) to[i] = entry;
}

// Fills the run of 2^rest look-aheads of a code whose value bits (size of them) fit beside it:
// each value covers 2^(rest - size) look-aheads. Entry = FastEntry(value, ...), which grows by 65536
// from one value to the next within each half of the run (negative values, then positive ones).
void FillValueEntries(int32_t* to, int rest, int size, int symbol, int bits) {
    const uint32_t repeat = 1u << (rest - size);
    const uint32_t values = 1u << size;
#if KV_SSE2
    if (repeat < 4 && values * repeat >= 8) {
        // Runs of one or two: four look-aheads at a time from a ramp of values.
        const int shift = rest - size;
        const __m128i ramp = _mm_set_epi32((3 >> shift) << 16, (2 >> shift) << 16, (1 >> shift) << 16, 0);
        const __m128i step = _mm_set1_epi32((4 >> shift) << 16);
        const uint32_t half = values * repeat / 2;
        for (uint32_t from = 0; from < 2 * half; from += half) {
            const uint32_t raw = from / repeat;
            __m128i lanes = _mm_add_epi32(_mm_set1_epi32(FastEntry(ExtendValue(raw, size), symbol, true, bits)), ramp);
            for (uint32_t i = 0; i < half; i += 4) {
                _mm_storeu_si128(reinterpret_cast<__m128i*>(to + from + i), lanes);
                lanes = _mm_add_epi32(lanes, step);
            }
        }
        return;
    }
#endif
    for (uint32_t raw = 0; raw < values; ++raw) {
        FillEntries(to + raw * repeat, repeat, FastEntry(ExtendValue(raw, size), symbol, true, bits));
    }
}

}  // namespace

// Fills the one-step table: each code of at most 10 bits answers for every look-ahead it begins
// (the codes are canonical and prefix-free, so no two claim one), bringing its value along when the
// value bits fit as well; the other look-aheads go to the search. Canonical codes of up to 10 bits,
// left-aligned, fill the look-aheads from 0 upwards without a gap, so the rest is one run of zeros.
void BuildOneStepLookup(HuffmanTable* table) {
    constexpr int kBits = kFastLookupBits;
    int32_t* fast = table->fast;
    // The first look-ahead of the next code: codes of one length are consecutive, and so are their
    // runs of look-aheads, whatever the length.
    uint32_t first = 0;
    int k = 0;
    for (int length = 1; length <= kBits; ++length) {
        const int rest = kBits - length;
        const uint32_t count = 1u << rest;
        for (int i = 0; i < table->bits[length]; ++i, ++k, first += count) {
            const int symbol = table->values[k];
            const int size = symbol & 15;
            if (size == 0 || size > rest) {
                // The value bits (if any) follow the code: one entry for every look-ahead.
                FillEntries(fast + first, count, FastEntry(0, symbol, size == 0, length));
            } else {
                FillValueEntries(fast + first, rest, size, symbol, length + size);
            }
        }
    }
    std::memset(fast + first, 0, ((1u << kBits) - first) * sizeof *fast);
    table->fastBuilt = true;
}

namespace {

// A one-step table costs about as much to build (1024 entries) as decoding through it instead of
// the search saves on this many blocks: a scan builds the tables it lacks only when it has at least
// this many blocks per table to build.
constexpr int64_t kOneStepBlocksPerTable = 40;

}  // namespace

void BuildHuffmanLookup(HuffmanTable* table, int isAc, const uint16_t* codes) {
    int k = 0;
    int longest = 0;
    for (int length = 1; length <= 16; ++length) {
        if (table->bits[length] == 0) {
            table->maxCode[length] = -1;
            table->valueOffset[length] = 0;
            continue;
        }
        table->valueOffset[length] = k - codes[k];
        k += table->bits[length];
        const uint32_t last = codes[k - 1];
        table->maxCode[length] = static_cast<int32_t>(((last + 1) << (16 - length)) - 1);
        longest = length;
    }
    table->maxCode[17] = INT32_MAX;
    // Without any code every look-ahead is out of range.
    table->limit = longest == 0 ? 0 : table->maxCode[longest] + 1;
    // The one-step table waits for a scan large enough to pay for it (PrepareScanTables).
    table->fastBuilt = false;
    if (!isAc) return;
    // Canonical codes of up to 7 bits fill the prefixes from 0 upwards, each a run of 2^(7 - L);
    // the prefixes after them begin longer codes. The first length whose max-code entry reaches a
    // prefix only grows with the prefix (lengths without codes hold -1, the others grow with the
    // length), so each length from 8 on sends one run of prefixes to the search.
    uint32_t prefix = 0;
    k = 0;
    for (int length = 1; length <= kLookaheadBits; ++length) {
        const uint32_t run = 1u << (kLookaheadBits - length);
        for (int i = 0; i < table->bits[length]; ++i, ++k) {
            const auto entry = static_cast<uint16_t>(table->values[k] * 256 + length);
            for (uint32_t r = 0; r < run; ++r) table->lookahead[prefix + r] = entry;
            prefix += run;
        }
    }
    for (int length = kLookaheadBits + 1; prefix < (1u << kLookaheadBits); ++length) {
        // The prefixes whose 16-bit left-aligned form is at most maxCode[length] (-1 for none;
        // maxCode[17] takes every one left).
        const int32_t maxCode = table->maxCode[length];
        const uint32_t end = length == 17 ? 1u << kLookaheadBits
                             : maxCode < 0 ? 0
                                           : (static_cast<uint32_t>(maxCode) >> (16 - kLookaheadBits)) + 1;
        for (; prefix < end; ++prefix) table->lookahead[prefix] = SearchFrom(length);
    }
}

void PrepareScanTables(CodecContext* context) {
    const bool needsDc = !context->progressive || (context->ss == 0 && context->ah == 0);
    const bool needsAc = !context->progressive || context->ss != 0;
    int64_t blocksPerMcu = 0;
    HuffmanTable* missing[2 * kMaxComponents];
    int missingCount = 0;
    const auto need = [&](HuffmanTable* table) {
        for (int i = 0; i < missingCount; ++i) {
            if (missing[i] == table) return;
        }
        if (!table->fastBuilt) missing[missingCount++] = table;
    };
    for (int i = 0; i < context->scanComponentCount; ++i) {
        const ScanComponent& scan = context->scan[i];
        blocksPerMcu += context->scanComponentCount > 1 ? scan.component->h * scan.component->v : 1;
        if (needsDc) need(scan.dc);
        if (needsAc) need(scan.ac);
    }
    const int64_t blocks = blocksPerMcu * context->mcusPerRow * context->mcuRows;
    context->oneStepTables = (needsDc || needsAc) && blocks >= kOneStepBlocksPerTable * missingCount;
    if (!context->oneStepTables) return;
    for (int i = 0; i < missingCount; ++i) BuildOneStepLookup(missing[i]);
}

namespace {

// Wrap-around arithmetic for values that corrupt data can push past the 32-bit range.
inline int32_t WrapAdd(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}
inline int32_t WrapMultiply(int32_t value, uint32_t multiplier) {
    return static_cast<int32_t>(static_cast<uint32_t>(value) * multiplier);
}

// The inverse DCT's shortcut: the highest column and the row of the highest natural position that
// received a coefficient (bit n of present for position n; 0, 0 for none).
struct Extent {
    int column;
    int row;
};
inline Extent ExtentOf(uint64_t present) {
    if (present == 0) return {0, 0};
    uint64_t columns = present | present >> 32;
    columns |= columns >> 16;
    columns |= columns >> 8;
    return {31 - std::countl_zero(static_cast<uint32_t>(columns & 0xFF)), (63 - std::countl_zero(present)) >> 3};
}

// Clears the first N cells of a block.
template <int N>
KV_ALWAYS_INLINE void ZeroBlock(int32_t* block) {
#if KV_SSE2
    const __m128i zeros = _mm_setzero_si128();
    KV_UNROLL
    for (int i = 0; i + 4 <= N; i += 4) _mm_storeu_si128(reinterpret_cast<__m128i*>(block + i), zeros);
    for (int i = N & ~3; i < N; ++i) block[i] = 0;
#else
    std::memset(block, 0, N * sizeof(int32_t));
#endif
}

}  // namespace

// ---------------------------------------------------------------------------------------------

void ResetPredictors(CodecContext* context) {
    for (ScanComponent& component : context->scan) component.dcPredictor = 0;
}

void CountRestart(CodecContext* context) {
    if (context->restartInterval == 0) return;
    if (--context->restartsLeft >= 1) return;
    context->restartsLeft = context->restartInterval;
    ResetPredictors(context);
    // Whatever marker stands here is taken as the restart marker.
    NextMarker(context);
    context->nextRestart = (context->nextRestart + 1) & 7;
}

namespace {

// Decodes one block of a sequential scan and hands it to the inverse DCT at `output`. The bit
// reader lives in registers for the block and goes back to the context at its end.
template <bool OneStep>
void DecodeBlock(CodecContext* context, ScanComponent* scan, int32_t* block, uint8_t* output) {
    const ComponentInfo* component = scan->component;
    const uint32_t* multipliers = context->quant[component->quantTable].multipliers;
    const HuffmanTable* dc = scan->dc;
    const HuffmanTable* ac = scan->ac;
    ZeroBlock<65>(block);
    BitState bits = LoadBits(context);
    int32_t difference;
    DecodeSymbol<false, OneStep>(context, bits, dc, &difference);
    scan->dcPredictor = WrapAdd(scan->dcPredictor, difference);
    block[0] = WrapMultiply(scan->dcPredictor, multipliers[0]);

    uint64_t present = 0;
    int k = 0;
    do {
        int32_t value;
        const int symbol = DecodeSymbol<true, OneStep>(context, bits, ac, &value);
        const int run = symbol >> 4;
        if ((symbol & 15) != 0) {
            k += run + 1;
            const int natural = ZigzagToNatural[k];
            block[natural] = WrapMultiply(value, multipliers[k & 63]);
            present |= uint64_t{1} << (natural & 63);  // the discard slot (64) only where k >= 64
        } else if (run == 15) {
            k += 16;
        } else {
            break;
        }
    } while (k < 63);
    StoreBits(context, bits);
    // A run past the block's end takes the full transform.
    const Extent extent = k >= 64 ? Extent{7, 7} : ExtentOf(present);
    InverseDct(context, block, output, extent.column, extent.row, component);
    ++context->mcuNumber;
}

// Reconstructs one stored block of a progressive plane and hands it to the inverse DCT.
template <typename Cell>
void ReconstructCells(CodecContext* context, const ComponentInfo* component, const Cell* cells, int32_t* block,
                      uint8_t* output) {
    const uint32_t* multipliers = context->quant[component->quantTable].multipliers;
    ZeroBlock<64>(block);
    uint64_t nonzero = simd::NonzeroCells(cells, static_cast<int>(cells[64]) & 63);
    // Natural positions that received a coefficient, as in DecodeBlock.
    uint64_t present = 0;
    while (nonzero != 0) {
        const int k = std::countr_zero(nonzero);
        nonzero &= nonzero - 1;
        const int natural = ZigzagToNatural[k];
        block[natural] = WrapMultiply(cells[k], multipliers[k]);
        present |= uint64_t{1} << natural;
    }
    const Extent extent = ExtentOf(present);
    InverseDct(context, block, output, extent.column, extent.row, component);
    ++context->mcuNumber;
}

void ReconstructBlock(CodecContext* context, const ComponentInfo* component, int blockRow, int blockColumn,
                      int32_t* block, uint8_t* output) {
    const int blocksPerRow = component->planeWidth / 8;
    const std::size_t cell = static_cast<std::size_t>(blockRow) * blocksPerRow + blockColumn;
    if (component->planeCellBytes == 1) {
        ReconstructCells(context, component, CellsOf<int8_t>(component->plane) + cell * 65, block, output);
    } else {
        ReconstructCells(context, component, CellsOf<int16_t>(component->plane) + cell * 65, block, output);
    }
}

inline uint8_t* BlockOutput(const ComponentInfo* component, int blockRow, int blockColumn) {
    const int cellBytes = component->wideSamples ? 2 : 1;
    return component->samples + static_cast<std::size_t>(blockRow) * 8 * component->rowWidth +
           static_cast<std::size_t>(blockColumn) * 8 * cellBytes;
}

template <bool OneStep>
void DecodeSequentialRow(CodecContext* context, int32_t* block) {
    if (context->scanComponentCount > 1) {
        for (int mcu = 0; mcu < context->mcusPerRow; ++mcu) {
            CountRestart(context);
            // The sample buffers hold one MCU row: block rows count from its top.
            ForEachBlockOfMcu(context, 0, mcu, [&](ScanComponent* scan, int row, int column) {
                DecodeBlock<OneStep>(context, scan, block, BlockOutput(scan->component, row, column));
            });
        }
        return;
    }
    ScanComponent* scan = &context->scan[0];
    const ComponentInfo* component = scan->component;
    for (int row = 0; row < component->v && context->rowsDelivered + 8 * row < context->height; ++row) {
        for (int column = 0; column < context->mcusPerRow; ++column) {
            CountRestart(context);
            DecodeBlock<OneStep>(context, scan, block, BlockOutput(component, row, column));
        }
    }
}

void ReconstructProgressiveRow(CodecContext* context, int32_t* block) {
    const int mcuRow = context->rowsDelivered / (8 * context->vMax);
    if (context->componentCount == 1) {
        const ComponentInfo* component = &context->components[0];
        const int blocksPerRow = component->planeWidth / 8;
        for (int row = 0; row < component->v && context->rowsDelivered + 8 * row < context->height; ++row) {
            for (int column = 0; column < blocksPerRow; ++column) {
                ReconstructBlock(context, component, mcuRow * component->v + row, column, block,
                                 BlockOutput(component, row, column));
            }
        }
        return;
    }
    for (int i = 0; i < context->componentCount; ++i) {
        const ComponentInfo* component = &context->components[i];
        const int blocksPerRow = component->planeWidth / 8;
        for (int row = 0; row < component->v; ++row) {
            for (int column = 0; column < blocksPerRow; ++column) {
                ReconstructBlock(context, component, mcuRow * component->v + row, column, block,
                                 BlockOutput(component, row, column));
            }
        }
    }
}

}  // namespace

void DecodeMcuRow(CodecContext* context) {
    // 64 coefficients in natural order plus the discard slot for runs past the end of a block.
    int32_t block[65];
    if (context->progressive) {
        ReconstructProgressiveRow(context, block);
    } else if (context->oneStepTables) {
        DecodeSequentialRow<true>(context, block);
    } else {
        DecodeSequentialRow<false>(context, block);
    }
}

}  // namespace kv::codec
