// Buffered scans: every scan of a progressive script, or the single scan of an optimised baseline
// image, coded (or counted) from the coefficient buffer after the last row. Covers DC first and
// refinement scans, AC first scans with end-of-band runs and AC refinement scans with their
// correction bits. Input: quantised blocks in zig-zag order; output: entropy-coded bytes.
#include "codec/mcu_walk.h"
#include "codec/encoder/progressive_encode.h"

#include <bit>
#include <cstring>

#include "codec/codec_errors.h"
#include "codec/encoder/bit_writer.h"
#include "codec/encoder/huffman_encode.h"
#include "codec/encoder/marker_writer.h"
#include "codec/frame.h"
#include "codec/huffman_tables.h"
#include "codec/simd.h"

namespace kv::codec {

namespace {

constexpr int32_t kLongestEndOfBandRun = 32767;
constexpr int32_t kRunBitCapacity = 256;

// Scan scripts: Ss, Se, Ah, Al, component count, first component, directory flag, AC slot.
// Script 1, 1 colour: 3 scans.
const ScanScriptEntry kScript1Colour1[3] = {
    {0, 0, 0, 0, 1, 0, 1, 0},  // scan 0
    {1, 5, 0, 0, 1, 0, 1, 0},  // scan 1
    {6, 63, 0, 0, 1, 0, 1, 1},  // scan 2
};

// Script 1, 3 colours: 7 scans.
const ScanScriptEntry kScript1Colour3[7] = {
    {0, 0, 0, 0, 3, 0, 0, 0},  // scan 0
    {1, 5, 0, 0, 1, 1, 0, 0},  // scan 1
    {1, 5, 0, 0, 1, 2, 1, 0},  // scan 2
    {1, 5, 0, 0, 1, 0, 1, 0},  // scan 3
    {6, 63, 0, 0, 1, 1, 0, 2},  // scan 4
    {6, 63, 0, 0, 1, 2, 0, 2},  // scan 5
    {6, 63, 0, 0, 1, 0, 1, 1},  // scan 6
};

// Script 1, 4 colours: 9 scans.
const ScanScriptEntry kScript1Colour4[9] = {
    {0, 0, 0, 0, 4, 0, 0, 0},  // scan 0
    {1, 5, 0, 0, 1, 1, 0, 0},  // scan 1
    {1, 5, 0, 0, 1, 2, 1, 0},  // scan 2
    {1, 5, 0, 0, 1, 0, 0, 0},  // scan 3
    {1, 5, 0, 0, 1, 3, 1, 0},  // scan 4
    {6, 63, 0, 0, 1, 1, 0, 2},  // scan 5
    {6, 63, 0, 0, 1, 2, 0, 2},  // scan 6
    {6, 63, 0, 0, 1, 0, 0, 1},  // scan 7
    {6, 63, 0, 0, 1, 3, 1, 1},  // scan 8
};

// Script 2, 1 colour: 4 scans.
const ScanScriptEntry kScript2Colour1[4] = {
    {0, 0, 0, 0, 1, 0, 0, 0},  // scan 0
    {1, 5, 0, 1, 1, 0, 1, 0},  // scan 1
    {6, 63, 0, 1, 1, 0, 1, 1},  // scan 2
    {1, 63, 1, 0, 1, 0, 1, 2},  // scan 3
};

// Script 2, 3 colours: 10 scans.
const ScanScriptEntry kScript2Colour3[10] = {
    {0, 0, 0, 0, 3, 0, 0, 0},  // scan 0
    {1, 5, 0, 1, 1, 1, 0, 0},  // scan 1
    {1, 5, 0, 1, 1, 2, 0, 0},  // scan 2
    {1, 5, 0, 1, 1, 0, 1, 0},  // scan 3
    {6, 63, 0, 1, 1, 1, 0, 2},  // scan 4
    {6, 63, 0, 1, 1, 2, 0, 2},  // scan 5
    {6, 63, 0, 1, 1, 0, 1, 1},  // scan 6
    {1, 63, 1, 0, 1, 1, 0, 3},  // scan 7
    {1, 63, 1, 0, 1, 2, 0, 3},  // scan 8
    {1, 63, 1, 0, 1, 0, 1, 3},  // scan 9
};

// Script 2, 4 colours: 13 scans.
const ScanScriptEntry kScript2Colour4[13] = {
    {0, 0, 0, 0, 4, 0, 0, 0},  // scan 0
    {1, 5, 0, 1, 1, 1, 0, 0},  // scan 1
    {1, 5, 0, 1, 1, 2, 0, 0},  // scan 2
    {1, 5, 0, 1, 1, 0, 0, 0},  // scan 3
    {1, 5, 0, 1, 1, 3, 1, 0},  // scan 4
    {6, 63, 0, 1, 1, 1, 0, 2},  // scan 5
    {6, 63, 0, 1, 1, 2, 0, 2},  // scan 6
    {6, 63, 0, 1, 1, 0, 0, 1},  // scan 7
    {6, 63, 0, 1, 1, 3, 1, 1},  // scan 8
    {1, 63, 1, 0, 1, 1, 0, 3},  // scan 9
    {1, 63, 1, 0, 1, 2, 0, 3},  // scan 10
    {1, 63, 1, 0, 1, 0, 0, 3},  // scan 11
    {1, 63, 1, 0, 1, 3, 1, 3},  // scan 12
};

// Script 3, 1 colour: 6 scans.
const ScanScriptEntry kScript3Colour1[6] = {
    {0, 0, 0, 1, 1, 0, 0, 0},  // scan 0
    {1, 5, 0, 2, 1, 0, 1, 0},  // scan 1
    {6, 63, 0, 2, 1, 0, 1, 1},  // scan 2
    {1, 63, 2, 1, 1, 0, 0, 2},  // scan 3
    {0, 0, 1, 0, 1, 0, 1, 0},  // scan 4
    {1, 63, 1, 0, 1, 0, 1, 2},  // scan 5
};

// Script 3, 3 colours: 14 scans.
const ScanScriptEntry kScript3Colour3[14] = {
    {0, 0, 0, 1, 3, 0, 0, 0},  // scan 0
    {1, 5, 0, 2, 1, 0, 0, 0},  // scan 1
    {1, 5, 0, 2, 1, 1, 0, 0},  // scan 2
    {1, 5, 0, 2, 1, 2, 1, 0},  // scan 3
    {6, 63, 0, 2, 1, 1, 0, 2},  // scan 4
    {6, 63, 0, 2, 1, 2, 0, 2},  // scan 5
    {6, 63, 0, 2, 1, 0, 1, 1},  // scan 6
    {1, 63, 2, 1, 1, 0, 0, 3},  // scan 7
    {1, 63, 2, 1, 1, 1, 0, 3},  // scan 8
    {1, 63, 2, 1, 1, 2, 0, 3},  // scan 9
    {0, 0, 1, 0, 3, 0, 1, 0},  // scan 10
    {1, 63, 1, 0, 1, 0, 0, 3},  // scan 11
    {1, 63, 1, 0, 1, 1, 0, 3},  // scan 12
    {1, 63, 1, 0, 1, 2, 1, 3},  // scan 13
};

// Script 3, 4 colours: 18 scans.
const ScanScriptEntry kScript3Colour4[18] = {
    {0, 0, 0, 1, 4, 0, 0, 0},  // scan 0
    {1, 5, 0, 2, 1, 0, 0, 0},  // scan 1
    {1, 5, 0, 2, 1, 3, 0, 0},  // scan 2
    {1, 5, 0, 2, 1, 1, 0, 0},  // scan 3
    {1, 5, 0, 2, 1, 2, 1, 0},  // scan 4
    {6, 63, 0, 2, 1, 1, 0, 2},  // scan 5
    {6, 63, 0, 2, 1, 2, 0, 2},  // scan 6
    {6, 63, 0, 2, 1, 0, 0, 1},  // scan 7
    {6, 63, 0, 2, 1, 3, 1, 1},  // scan 8
    {1, 63, 2, 1, 1, 0, 0, 3},  // scan 9
    {1, 63, 2, 1, 1, 3, 0, 3},  // scan 10
    {1, 63, 2, 1, 1, 1, 0, 3},  // scan 11
    {1, 63, 2, 1, 1, 2, 0, 3},  // scan 12
    {0, 0, 1, 0, 4, 0, 1, 0},  // scan 13
    {1, 63, 1, 0, 1, 0, 0, 3},  // scan 14
    {1, 63, 1, 0, 1, 3, 0, 3},  // scan 15
    {1, 63, 1, 0, 1, 1, 0, 3},  // scan 16
    {1, 63, 1, 0, 1, 2, 1, 3},  // scan 17
};

// Script 4, 1 colour: 5 scans.
const ScanScriptEntry kScript4Colour1[5] = {
    {0, 0, 0, 0, 1, 0, 0, 0},  // scan 0
    {1, 2, 0, 0, 1, 0, 1, 0},  // scan 1
    {3, 5, 0, 0, 1, 0, 1, 1},  // scan 2
    {6, 14, 0, 0, 1, 0, 1, 2},  // scan 3
    {15, 63, 0, 0, 1, 0, 1, 3},  // scan 4
};

// Script 4, 3 colours: 13 scans.
const ScanScriptEntry kScript4Colour3[13] = {
    {0, 0, 0, 0, 3, 0, 0, 0},  // scan 0
    {1, 2, 0, 0, 1, 1, 0, 0},  // scan 1
    {1, 2, 0, 0, 1, 2, 0, 0},  // scan 2
    {1, 2, 0, 0, 1, 0, 1, 0},  // scan 3
    {3, 5, 0, 0, 1, 1, 0, 1},  // scan 4
    {3, 5, 0, 0, 1, 2, 0, 1},  // scan 5
    {3, 5, 0, 0, 1, 0, 1, 1},  // scan 6
    {6, 14, 0, 0, 1, 1, 0, 2},  // scan 7
    {6, 14, 0, 0, 1, 2, 0, 2},  // scan 8
    {6, 14, 0, 0, 1, 0, 1, 2},  // scan 9
    {15, 63, 0, 0, 1, 1, 0, 3},  // scan 10
    {15, 63, 0, 0, 1, 2, 0, 3},  // scan 11
    {15, 63, 0, 0, 1, 0, 1, 3},  // scan 12
};

// Script 4, 4 colours: 17 scans.
const ScanScriptEntry kScript4Colour4[17] = {
    {0, 0, 0, 0, 4, 0, 0, 0},  // scan 0
    {1, 2, 0, 0, 1, 1, 0, 0},  // scan 1
    {1, 2, 0, 0, 1, 2, 0, 0},  // scan 2
    {1, 2, 0, 0, 1, 0, 0, 0},  // scan 3
    {1, 2, 0, 0, 1, 3, 1, 0},  // scan 4
    {3, 5, 0, 0, 1, 1, 0, 1},  // scan 5
    {3, 5, 0, 0, 1, 2, 0, 1},  // scan 6
    {3, 5, 0, 0, 1, 0, 0, 1},  // scan 7
    {3, 5, 0, 0, 1, 3, 1, 1},  // scan 8
    {6, 14, 0, 0, 1, 1, 0, 2},  // scan 9
    {6, 14, 0, 0, 1, 2, 0, 2},  // scan 10
    {6, 14, 0, 0, 1, 0, 0, 2},  // scan 11
    {6, 14, 0, 0, 1, 3, 1, 2},  // scan 12
    {15, 63, 0, 0, 1, 1, 0, 3},  // scan 13
    {15, 63, 0, 0, 1, 2, 0, 3},  // scan 14
    {15, 63, 0, 0, 1, 0, 0, 3},  // scan 15
    {15, 63, 0, 0, 1, 3, 1, 3},  // scan 16
};

struct ScriptChoice {
    const ScanScriptEntry* entries;
    int32_t length;
};

// Index: colour count + 4 x script number - 5; the positions for two colours are empty.
const ScriptChoice kScanScripts[16] = {
    {kScript1Colour1, 3},  {nullptr, 0}, {kScript1Colour3, 7},  {kScript1Colour4, 9},
    {kScript2Colour1, 4},  {nullptr, 0}, {kScript2Colour3, 10}, {kScript2Colour4, 13},
    {kScript3Colour1, 6},  {nullptr, 0}, {kScript3Colour3, 14}, {kScript3Colour4, 18},
    {kScript4Colour1, 5},  {nullptr, 0}, {kScript4Colour3, 13}, {kScript4Colour4, 17},
};

// The block's record: 64 cells in zig-zag order and L.
struct BlockCells {
    const uint8_t* record;
    int wide;
    int32_t operator[](int k) const {
        return wide ? CellsOf<int16_t>(record)[k] : CellsOf<int8_t>(record)[k];
    }
};

// Appends raw bits; a statistics pass drops them.
void PutRawBits(CodecContext* context, uint32_t bits, int count) {
    if (count > 0 && !context->statisticsPass) PutBits(context, bits, count);
}

// Correction bits waiting in a block of an AC refinement scan, oldest first.
struct PendingBits {
    uint8_t bit[64];
    int count = 0;
    int next = 0;
    int window[3] = {0, 0, 0};
};

// Writes (or, counting, drops) the oldest `howMany` pending bits.
void WritePending(CodecContext* context, PendingBits* pending, int howMany) {
    for (int i = 0; i < howMany; ++i) PutRawBits(context, pending->bit[pending->next++], 1);
}

void DcFirst(CodecContext* context, ScanComponent* scan, const BlockCells& cells) {
    const int32_t value = cells[0] >> context->al;
    const int32_t difference = value - scan->dcPredictor;
    scan->dcPredictor = value;
    const int size = MagnitudeBits(static_cast<uint32_t>(difference < 0 ? -difference : difference));
    EmitDc(context, scan->dcTable, size, static_cast<uint32_t>(difference < 0 ? difference - 1 : difference));
}

// Bit k set: cell k of the block has a magnitude of at least 2^al (so not 0 after the shift by Al).
template <typename Cell>
KV_ALWAYS_INLINE uint64_t LargeMagnitudes(const Cell* cells, int al) {
    if (al == 0) return simd::NonzeroCells(cells, 63);
#if KV_SSE2
    uint64_t large = 0;
    const __m128i zero = _mm_setzero_si128();
    KV_UNROLL
    for (int k = 0; k < 64; k += 16) {
        // |value| as an unsigned cell, less 2^al - 1 with saturation: not 0 exactly for the large ones.
        __m128i small;
        if constexpr (sizeof(Cell) == 1) {
            const __m128i values = _mm_loadu_si128(reinterpret_cast<const __m128i*>(cells + k));
            const __m128i sign = _mm_cmpgt_epi8(zero, values);
            const __m128i magnitude = _mm_sub_epi8(_mm_xor_si128(values, sign), sign);
            small = _mm_cmpeq_epi8(_mm_subs_epu8(magnitude, _mm_set1_epi8(static_cast<char>((1 << al) - 1))), zero);
        } else {
            const __m128i limit = _mm_set1_epi16(static_cast<int16_t>((1 << al) - 1));
            __m128i halves[2];
            for (int h = 0; h < 2; ++h) {
                const __m128i values = _mm_loadu_si128(reinterpret_cast<const __m128i*>(cells + k + 8 * h));
                const __m128i sign = _mm_srai_epi16(values, 15);
                const __m128i magnitude = _mm_sub_epi16(_mm_xor_si128(values, sign), sign);
                halves[h] = _mm_cmpeq_epi16(_mm_subs_epu16(magnitude, limit), zero);
            }
            small = _mm_packs_epi16(halves[0], halves[1]);
        }
        large |= static_cast<uint64_t>(static_cast<uint16_t>(~_mm_movemask_epi8(small))) << k;
    }
    return large;
#else
    uint64_t large = 0;
    for (int k = 0; k < 64; ++k) {
        const int32_t value = cells[k];
        large |= static_cast<uint64_t>((static_cast<uint32_t>(value < 0 ? -value : value) >> al) != 0) << k;
    }
    return large;
#endif
}

// Walks the band Ss..Se of the block up to its last nonzero cell, counting zero magnitudes (after
// the shift by Al) into the run. Each nonzero magnitude goes to visit(value, magnitude, run), which
// answers whether it coded the coefficient: then the run starts again. Answers the last position
// coded, or -1.
template <typename Visit>
KV_ALWAYS_INLINE int WalkBand(const CodecContext* context, const BlockCells& cells, Visit&& visit) {
    const int last = cells[64] < context->se ? cells[64] : context->se;
    if (last < context->ss) return -1;
    // Bits ss..last of the cells whose magnitudes stay nonzero after the shift.
    const uint64_t band = (last == 63 ? ~uint64_t{0} : (uint64_t{2} << last) - 1) & (~uint64_t{0} << context->ss);
    uint64_t large = band & (cells.wide ? LargeMagnitudes(CellsOf<int16_t>(cells.record), context->al)
                                        : LargeMagnitudes(CellsOf<int8_t>(cells.record), context->al));
    int run = 0;
    int coded = -1;
    int previous = context->ss - 1;
    while (large != 0) {
        const int k = std::countr_zero(large);
        large &= large - 1;
        run += k - previous - 1;
        previous = k;
        const int32_t value = cells[k];
        const uint32_t magnitude = static_cast<uint32_t>(value < 0 ? -value : value) >> context->al;
        if (visit(value, magnitude, run)) {
            run = 0;
            coded = k;
        }
    }
    return coded;
}

void AcFirst(CodecContext* context, const ScanComponent* scan, const BlockCells& cells) {
    const int coded = WalkBand(context, cells, [&](int32_t value, uint32_t magnitude, int run) {
        if (context->eobRun > 0) FlushEobRun(context, scan->acTable);
        for (; run >= 16; run -= 16) EmitAc(context, scan->acTable, kZeroRunIndex, 0, 0);
        const int size = MagnitudeBits(magnitude);
        EmitAc(context, scan->acTable, size * 16 + run, size, value < 0 ? ~magnitude : magnitude);
        return true;
    });
    if (coded != context->se && ++context->eobRun == kLongestEndOfBandRun) FlushEobRun(context, scan->acTable);
}

void AcRefine(CodecContext* context, const ScanComponent* scan, const BlockCells& cells) {
    PendingBits pending;
    const int coded = WalkBand(context, cells, [&](int32_t value, uint32_t magnitude, int run) {
        if (magnitude >= 2) {
            // Already nonzero: one correction bit, in the window of 16 zero positions it follows.
            pending.bit[pending.count++] = static_cast<uint8_t>(magnitude & 1);
            if (run < 48) ++pending.window[run / 16];
            return false;
        }
        if (context->eobRun > 0) FlushEobRun(context, scan->acTable);
        for (; run >= 16; run -= 16) {
            EmitAc(context, scan->acTable, kZeroRunIndex, 0, 0);
            WritePending(context, &pending, pending.window[0]);
            pending.window[0] = pending.window[1];
            pending.window[1] = pending.window[2];
            pending.window[2] = 0;
        }
        EmitAc(context, scan->acTable, 16 + run, 1, value > 0 ? 1 : 0);
        WritePending(context, &pending, pending.count - pending.next);
        pending.count = pending.next = 0;
        pending.window[0] = pending.window[1] = pending.window[2] = 0;
        return true;
    });
    const int waiting = pending.count - pending.next;
    if (coded == context->se) {
        if (waiting != 0 || context->eobRun != 0) CodecBug();
        return;
    }
    ++context->eobRun;
    if (context->eobRun == kLongestEndOfBandRun || context->eobBitCount + waiting > kRunBitCapacity) {
        FlushEobRun(context, scan->acTable);
        WritePending(context, &pending, waiting);
        return;
    }
    for (int i = pending.next; i < pending.count; ++i) {
        if (pending.bit[i]) context->eobBits[context->eobBitCount / 32] |= 0x80000000u >> (context->eobBitCount % 32);
        ++context->eobBitCount;
    }
}

void CodeBlock(CodecContext* context, ScanComponent* scan, const BlockCells& cells) {
    if (cells[64] > 63) CodecBug();
    if (context->process != FrameProcess::progressive) {
        // The cells as they are stored, in their own width.
        if (cells.wide) {
            const int16_t* coefficients = CellsOf<int16_t>(cells.record);
            CodeSequentialBlock(context, scan, coefficients, coefficients[64]);
        } else {
            const int8_t* coefficients = CellsOf<int8_t>(cells.record);
            CodeSequentialBlock(context, scan, coefficients, coefficients[64]);
        }
    } else if (context->ss == 0 && context->ah == 0) {
        DcFirst(context, scan, cells);
    } else if (context->ss == 0) {
        PutRawBits(context, static_cast<uint32_t>(cells[0] >> context->al) & 1, 1);
    } else if (context->ah == 0) {
        AcFirst(context, scan, cells);
    } else {
        AcRefine(context, scan, cells);
    }
    ++context->mcuNumber;
}

BlockCells CellsOf(const ComponentInfo* component, int blockRow, int blockColumn) {
    return BlockCells{BufferedBlock(component, blockRow, blockColumn), component->planeCellBytes == 2};
}

// Restart handling before an MCU or a block of a one-component scan: a pending end-of-band run is
// written before the restart marker.
void RestartPoint(CodecContext* context) {
    if (!RestartDue(context)) return;
    if (context->ss > 0 && context->eobRun > 0) FlushEobRun(context, context->scan[0].acTable);
    WriteRestart(context);
}

}  // namespace

void ChooseScanScript(CodecContext* context) {
    const int index = context->componentCount + 4 * context->scanScript - 5;
    if (context->scanScript < 1 || context->scanScript > 4 || index < 0 || index >= 16 ||
        kScanScripts[index].entries == nullptr) {
        CodecBug();
    }
    context->script = kScanScripts[index].entries;
    context->scriptLength = kScanScripts[index].length;
    int slots = 0;
    for (int s = 0; s < context->scriptLength; ++s) {
        if (context->script[s].acSlot + 1 > slots) slots = context->script[s].acSlot + 1;
    }
    context->acTableCount = slots;
}

void SetupBufferedScan(CodecContext* context) {
    if (context->process != FrameProcess::progressive) {
        // The one scan of a sequential image: every component, the full spectrum.
        context->scanComponentCount = context->componentCount;
        for (int i = 0; i < context->componentCount; ++i) {
            ScanComponent& scan = context->scan[i];
            scan.component = &context->components[i];
            scan.dcTable = scan.component->dcTable;
            scan.acTable = scan.component->acTable;
        }
        context->ss = 0;
        context->se = 63;
        context->ah = 0;
        context->al = 0;
    } else {
        if (context->scanNumber >= context->scriptLength) CodecBug();
        const ScanScriptEntry& entry = context->script[context->scanNumber];
        if (entry.first + entry.count > context->componentCount) CodecBug();
        context->scanComponentCount = entry.count;
        for (int p = 0; p < entry.count; ++p) {
            ScanComponent& scan = context->scan[p];
            scan.component = &context->components[entry.first + p];
            scan.dcTable = scan.component->dcTable;
            scan.acTable = scan.component->acTable;
        }
        if (entry.ss > 0) {
            context->scan[0].dcTable = 0;
            context->scan[0].acTable = entry.acSlot;
        } else {
            context->scan[0].acTable = 0;
        }
        context->ss = entry.ss;
        context->se = entry.se;
        context->ah = entry.ah;
        context->al = entry.al;
    }
    SetupScan(context);
    StartScanState(context);
    context->eobRun = 0;
    context->eobBitCount = 0;
    for (uint32_t& word : context->eobBits) word = 0;
}

void EncodeBufferedScan(CodecContext* context) {
    if (context->scanComponentCount > 1) {
        if (context->restartInterval != 0 && context->ss > 0) CodecBug();
        for (int mcuRow = 0; mcuRow < context->mcuRows; ++mcuRow) {
            for (int mcu = 0; mcu < context->mcusPerRow; ++mcu) {
                RestartPoint(context);
                ForEachBlockOfMcu(context, mcuRow, mcu, [&](ScanComponent* scan, int row, int column) {
                    CodeBlock(context, scan, CellsOf(scan->component, row, column));
                });
            }
        }
        return;
    }
    ScanComponent* scan = &context->scan[0];
    for (int row = 0; row < context->mcuRows; ++row) {
        for (int column = 0; column < context->mcusPerRow; ++column) {
            RestartPoint(context);
            CodeBlock(context, scan, CellsOf(scan->component, row, column));
        }
    }
    if (context->ss > 0) {
        if (context->eobRun > 0) FlushEobRun(context, scan->acTable);
    } else if (context->eobRun != 0) {
        CodecBug();
    }
}

void FlushEobRun(CodecContext* context, int acSlot) {
    const int32_t run = context->eobRun;
    if (run == 0) return;
    if (run > kLongestEndOfBandRun) CodecBug();
    const int r = MagnitudeBits(static_cast<uint32_t>(run)) - 1;
    EmitAc(context, acSlot, r, r, static_cast<uint32_t>(run - (1 << r)));
    if (!context->statisticsPass) {
        int written = 0;
        while (context->eobBitCount - written >= 32) {
            PutBits(context, context->eobBits[written / 32], 32);
            written += 32;
        }
        const int rest = context->eobBitCount - written;
        if (rest > 0) PutBits(context, context->eobBits[written / 32] >> (32 - rest), rest);
    }
    context->eobRun = 0;
    context->eobBitCount = 0;
    for (uint32_t& word : context->eobBits) word = 0;
}

}  // namespace kv::codec
