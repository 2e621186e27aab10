// Huffman encoding of sequential scans. Input: quantised blocks (zig-zag order) made from the
// component sample buffers; output: entropy-coded bytes, 0xFF-stuffed, with restart markers, through
// the context's sink.
#include "codec/encoder/huffman_encode.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "codec/codec_errors.h"
#include "codec/encoder/forward_path.h"
#include "codec/encoder/bit_writer.h"
#include "codec/huffman_tables.h"
#include "codec/simd.h"

namespace kv::codec {

const uint8_t BitLengthTable[64] = {
    0, 1, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 4, 4, 4, 4,
    5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5,
    6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6,
    6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6,
};

void DeriveEncoderCodes(CodecContext* context, const HuffmanTable* table, HuffmanCodes* codes, int kind) {
    std::memset(codes->code, 0, sizeof codes->code);
    std::memset(codes->length, kNoCodeLength, sizeof codes->length);
    uint8_t sizes[kMaxAcValuesProgressive + 1];
    uint16_t huffCodes[kMaxAcValuesProgressive];
    const int count = BuildHuffmanCodes(context, table->bits, sizes, huffCodes, kind);
    for (int i = 0; i < count; ++i) {
        const int value = table->values[i];
        if (kind == 0) {
            if (value >= 12) CodecRaise(context, categoryBadHuffmanTable, messageUnusableDcValue, value);
            codes->code[value] = huffCodes[i];
            codes->length[value] = static_cast<uint8_t>(sizes[i] + value);
            continue;
        }
        const int run = value >> 4;
        const int size = value & 15;
        if (size >= 11 || (size == 0 && run >= 1 && run <= 14 && context->process != FrameProcess::progressive)) {
            CodecRaise(context, categoryBadHuffmanTable, messageUnusableAcValue, value);
        }
        // Size 0 symbols (EOB, EOBr, ZRL) sit at their run; the others at size x 16 + run.
        const int index = size == 0 ? run : size * 16 + run;
        const int extra = size == 0 ? (run == 15 ? 0 : run) : size;
        codes->code[index] = huffCodes[i];
        codes->length[index] = static_cast<uint8_t>(sizes[i] + extra);
    }
}

// ---------------------------------------------------------------------------------------------
// Blocks and MCU rows.

void StartScanState(CodecContext* context) {
    for (ScanComponent& scan : context->scan) scan.dcPredictor = 0;
    context->restartCountdown = context->restartInterval + 1;
    context->restartMarker = 0;
}

namespace {

// Walks the nonzero AC coefficients of a block (bits 1..63 of `nonzero`) in order, zero runs counted
// rather than walked: `longRun()` for each run of sixteen zeros before one, then `symbol(value, run)`
// with the zeros (0..15) left before it.
template <typename Cell, typename LongRun, typename Symbol>
KV_ALWAYS_INLINE void WalkAc(const Cell* coefficients, uint64_t nonzero, LongRun&& longRun, Symbol&& symbol) {
    // `rest` holds the cells after the last one walked (bit 0: the next), `at` points at that last one:
    // the run is the count of trailing zero bits, and nothing else is carried from one to the next.
    uint64_t rest = nonzero >> 1;
    const Cell* at = coefficients;
    while (rest != 0) {
        int run = std::countr_zero(rest);
        rest = (rest >> run) >> 1;
        at += run + 1;
        for (; run >= 16; run -= 16) longRun();
        symbol(static_cast<int32_t>(*at), run);
    }
}

// Counts the symbols of one block for the statistics pass.
template <typename Cell>
void CountSequentialBlock(CodecContext* context, ScanComponent* scan, const Cell* coefficients, uint64_t nonzero,
                          int last) {
    const int32_t difference = coefficients[0] - scan->dcPredictor;
    if (difference != 0) scan->dcPredictor = coefficients[0];
    ++context->dcCounts[scan->dcTable][MagnitudeBits(static_cast<uint32_t>(difference < 0 ? -difference : difference))];
    uint32_t* counts = context->acCounts[scan->acTable];
    WalkAc(
        coefficients, nonzero, [&] { ++counts[kZeroRunIndex]; },
        [&](int32_t value, int run) {
            ++counts[NonzeroMagnitudeBits(static_cast<uint32_t>(value < 0 ? -value : value)) * 16 + run];
        });
    if (last != 63) ++counts[kEndOfBlockIndex];
}

// The bit writer of one block, held in registers: `bits` pending bits at the bottom of `pending`.
struct BlockBits {
    uint64_t pending;
    int bits;
};

// Appends a code (with its value bits) of `length` bits (1..32, or kNoCodeLength for a symbol
// without a code); whole bytes leave once 32 bits wait.
KV_ALWAYS_INLINE void Append(CodecContext* context, BlockBits& out, uint32_t value, int length) {
    if (length > 32) CodecRaise(context, categoryMissingCode, messageCodeMissingFromTable);
    out.pending = (out.pending << length) | value;
    out.bits += length;
    if (out.bits >= 32) {
        out.bits -= 32;
        PutDataWord(context, static_cast<uint32_t>(out.pending >> out.bits));
    }
}


// CodeSequentialBlock for blocks of 16-bit or (from the coefficient buffer) 8-bit cells, with the
// block's nonzero AC cells (bits 1..63) known; the other AC cells are not read.
template <typename Cell>
void CodeBlockOf(CodecContext* context, ScanComponent* scan, const Cell* coefficients, uint64_t nonzero, int last) {
    if (context->statisticsPass) {
        CountSequentialBlock(context, scan, coefficients, nonzero, last);
        return;
    }
    const HuffmanCodes& dc = context->dcCodes[scan->dcTable];
    const HuffmanCodes& ac = context->acCodes[scan->acTable];
    // The bits that wait join the block's bits; what is left over waits for the next block.
    BlockBits out{context->outputBits, context->outputBitCount};

    const int32_t difference = coefficients[0] - scan->dcPredictor;
    if (difference != 0) scan->dcPredictor = coefficients[0];
    // Negative values carry the low bits of value - 1 (the ones' complement of the magnitude), given
    // by the same sum as for the AC values below (size 0 for a difference of 0 adds nothing).
    const uint32_t dcSign = static_cast<uint32_t>(difference >> 31);
    const int dcSize = MagnitudeBits((static_cast<uint32_t>(difference) ^ dcSign) - dcSign);
    const uint32_t dcCode = static_cast<uint32_t>(dc.code[dcSize]) - dcSign;
    Append(context, out, (dcCode << dcSize) + static_cast<uint32_t>(difference) + dcSign, dc.length[dcSize]);

    WalkAc(
        coefficients, nonzero, [&] { Append(context, out, ac.code[kZeroRunIndex], ac.length[kZeroRunIndex]); },
        [&](int32_t value, int run) {
            // sign: all ones for a negative value, whose sum is then code x 2^size + (2^size + value - 1):
            // the code followed by the low size bits of value - 1 (which lies in -2^size .. -2).
            const uint32_t sign = static_cast<uint32_t>(value >> 31);
            const int size = NonzeroMagnitudeBits((static_cast<uint32_t>(value) ^ sign) - sign);
            const int index = size * 16 + run;
            const uint32_t code = static_cast<uint32_t>(ac.code[index]) - sign;
            Append(context, out, (code << size) + static_cast<uint32_t>(value) + sign, ac.length[index]);
        });
    if (last != 63) Append(context, out, ac.code[kEndOfBlockIndex], ac.length[kEndOfBlockIndex]);

    context->outputBits = out.pending;
    context->outputBitCount = out.bits;
}

// ---------------------------------------------------------------------------------------------
// Blocks coded straight into the sink's buffer: the bits of a whole batch of blocks are gathered in a
// 64-bit register and leave eight bytes at a time, through a pointer held in a register, while the
// buffer is known to have room for the batch's worst case.

// The most bytes one block can add: at most 68 codes (DC, 63 AC, 3 runs of sixteen zeros, EOB) of at
// most 32 bits each, every byte possibly 0xFF and stuffed.
constexpr int kMostBlockBytes = 68 * 4 * 2;

// A batch's bits: `64 - free` bits wait at the bottom of `buffer` (the bits above them are stale),
// and `out` is where the next byte goes.
struct DirectBits {
    uint64_t buffer;
    int free;
    uint8_t* out;
};

// Writes a complete 64-bit word, most significant byte first, a 0x00 after each 0xFF byte.
KV_ALWAYS_INLINE void PutWordDirect(DirectBits& bits, uint64_t word) {
    const uint64_t inverted = ~word;
    const bool noFF = ((inverted - 0x0101010101010101u) & ~inverted & 0x8080808080808080u) == 0;
    if (noFF) [[likely]] {
        if constexpr (std::endian::native == std::endian::little) {
#if defined(__GNUC__) || defined(__clang__)
            const uint64_t bigEndian = __builtin_bswap64(word);
#elif defined(_MSC_VER)
            const uint64_t bigEndian = _byteswap_uint64(word);
#else
            uint64_t bigEndian = 0;
            for (int i = 0; i < 8; ++i) bigEndian |= ((word >> (8 * i)) & 0xFF) << (56 - 8 * i);
#endif
            std::memcpy(bits.out, &bigEndian, 8);
        } else {
            std::memcpy(bits.out, &word, 8);
        }
        bits.out += 8;
        return;
    }
    for (int shift = 56; shift >= 0; shift -= 8) {
        const uint32_t byte = static_cast<uint32_t>(word >> shift) & 0xFF;
        *bits.out++ = static_cast<uint8_t>(byte);
        if (byte == 0xFF) *bits.out++ = 0;
    }
}

// Appends a code with its value bits, `length` (1..32) bits in all with nothing above them in value.
// A symbol without a code (kNoCodeLength, more than the 64 bits a word holds) always ends in the
// word-complete branch, so only that branch tests for it.
KV_ALWAYS_INLINE void AppendDirect(CodecContext* context, DirectBits& bits, uint32_t value, int length) {
    bits.free -= length;
    if (bits.free >= 0) [[likely]] {
        bits.buffer = (bits.buffer << length) | value;
        return;
    }
    if (length > 32) [[unlikely]] CodecRaise(context, categoryMissingCode, messageCodeMissingFromTable);
    // The word completes with the top bits of value; the rest (spill bits) start the next one.
    const int spill = -bits.free;
    PutWordDirect(bits, (bits.buffer << (length - spill)) | (uint64_t{value} >> spill));
    bits.buffer = value;
    bits.free += 64;
}

// The count of trailing zero bits of a word that is not 0, and the index of the top bit of one, as
// 64-bit values: the per-symbol loop below uses them in addresses, and this way they need no widening.
KV_ALWAYS_INLINE uint64_t CountTrailingZeros(uint64_t word) {
#if defined(__GNUC__) || defined(__clang__)
    return static_cast<uint64_t>(__builtin_ctzll(word)) & 63;
#else
    return static_cast<uint64_t>(std::countr_zero(word));
#endif
}
KV_ALWAYS_INLINE uint64_t TopBitIndex(uint64_t word) {
#if defined(__GNUC__) || defined(__clang__)
    return static_cast<uint64_t>(63 ^ __builtin_clzll(word)) & 63;
#else
    return static_cast<uint64_t>(std::bit_width(word) - 1);
#endif
}

// CodeBlockOf's output pass with the bits in a DirectBits, the tables' codes and lengths at hand.
KV_ALWAYS_INLINE void CodeBlockDirect(CodecContext* context, DirectBits& bits, ScanComponent* scan,
                                      const HuffmanCodes* dc, const HuffmanCodes* ac, const int16_t* coefficients,
                                      uint64_t nonzero, int last) {
    const uint16_t* acCode = ac->code;
    const uint8_t* acLength = ac->length;
    const int32_t difference = coefficients[0] - scan->dcPredictor;
    scan->dcPredictor = coefficients[0];
    // As in CodeBlockOf, with the magnitude m as (difference + sign) ^ sign as for the AC values below;
    // the bits of m (0 for 0) are those of 2m + 1 less one, which one bit scan gives without a test for 0.
    const uint32_t dcSign = static_cast<uint32_t>(difference >> 31);
    const uint32_t dcAdjusted = static_cast<uint32_t>(difference) + dcSign;
    const uint64_t dcSize = TopBitIndex(uint64_t{dcAdjusted ^ dcSign} * 2 + 1);
    const uint32_t dcCode = static_cast<uint32_t>(dc->code[dcSize]) - dcSign;
    AppendDirect(context, bits, (dcCode << dcSize) + dcAdjusted, dc->length[dcSize]);

    // As WalkAc, with `at` at the cell that bit 0 of `rest` stands for; positions and indices are
    // kept in 64 bits, so that no step widens them.
    uint64_t rest = nonzero >> 1;
    const int16_t* at = coefficients + 1;
    while (rest != 0) {
        uint64_t run = CountTrailingZeros(rest);
        rest = (rest >> run) >> 1;
        at += run;
        const int32_t value = *at++;
        if (run >= 16) [[unlikely]] {
            do {
                AppendDirect(context, bits, acCode[kZeroRunIndex], acLength[kZeroRunIndex]);
                run -= 16;
            } while (run >= 16);
        }
        // value + sign is value - 1 for a negative value, whose ones' complement is the magnitude:
        // the same sum serves the size and the value bits.
        const uint32_t sign = static_cast<uint32_t>(value >> 31);
        const uint32_t adjusted = static_cast<uint32_t>(value) + sign;
        const uint64_t size = TopBitIndex(adjusted ^ sign) + 1;
        const uint64_t index = size * 16 + run;
        const uint32_t code = static_cast<uint32_t>(acCode[index]) - sign;
        AppendDirect(context, bits, (code << size) + adjusted, acLength[index]);
    }
    if (last != 63) AppendDirect(context, bits, acCode[kEndOfBlockIndex], acLength[kEndOfBlockIndex]);
}

}  // namespace

void CodeSequentialBlock(CodecContext* context, ScanComponent* scan, const int16_t* coefficients, int last) {
    CodeBlockOf(context, scan, coefficients, simd::NonzeroCells(coefficients, last) & ~uint64_t{1}, last);
}

void CodeSequentialBlock(CodecContext* context, ScanComponent* scan, const int8_t* coefficients, int last) {
    CodeBlockOf(context, scan, coefficients, simd::NonzeroCells(coefficients, last) & ~uint64_t{1}, last);
}

namespace {

// Keeps a quantised block in the coefficient buffer: all 64 cells in zig-zag order (the buffer is
// not cleared beforehand), then L. Byte cells keep the low 8 bits of each coefficient.
void StoreBlock(CodecContext* context, const ComponentInfo* component, int blockColumn, int blockRowInMcu,
                const int16_t* coefficients, int last) {
    const int blockRow = context->mcuRowsCoded * component->v + blockRowInMcu;
    uint8_t* record = BufferedBlock(component, blockRow, blockColumn);
    if (component->planeCellBytes == 1) {
#if KV_SSE2
        const __m128i lowBytes = _mm_set1_epi16(0xFF);
        for (int k = 0; k < 64; k += 16) {
            const __m128i first = _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(coefficients + k)), lowBytes);
            const __m128i second =
                _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(coefficients + k + 8)), lowBytes);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(record + k), _mm_packus_epi16(first, second));
        }
#else
        auto* cells = CellsOf<int8_t>(record);
        for (int k = 0; k < 64; ++k) cells[k] = static_cast<int8_t>(coefficients[k]);
#endif
        CellsOf<int8_t>(record)[64] = static_cast<int8_t>(last);
    } else {
        std::memcpy(record, coefficients, 64 * sizeof(int16_t));
        CellsOf<int16_t>(record)[64] = static_cast<int16_t>(last);
    }
}

// What the blocks of one scan component share within an MCU row.
struct ComponentRun {
    ScanComponent* scan;
    const ComponentInfo* component;
    BlockQuantiser quantiser;       // TransformAndQuantiseFor(component)
    RunQuantiser runQuantiser;      // RunQuantiserFor(component)
    const NaturalDivisors* natural; // the component's table for runQuantiser
    int32_t lastBlockStart;         // as EncoderEdge: blocks from lastBlockStart + 8 on lie beyond the data
    std::size_t blockBytes;         // bytes of a block's row of samples
};

ComponentRun RunOf(CodecContext* context, ScanComponent* scan) {
    const ComponentInfo* component = scan->component;
    const int index = static_cast<int>(component - context->components);
    return ComponentRun{scan,
                        component,
                        TransformAndQuantiseFor(component),
                        RunQuantiserFor(component),
                        nullptr,
                        context->edges[index].lastBlockStart,
                        static_cast<std::size_t>(component->wideSamples ? 16 : 8)};
}

// Clears a block of 64 coefficients with vector stores: a call of memset, or the string store it
// compiles to, costs more for 128 bytes.
KV_ALWAYS_INLINE void ClearCoefficients(int16_t* coefficients) {
#if KV_SSE2
    KV_UNROLL
    for (int k = 0; k < 64; k += 8) _mm_storeu_si128(reinterpret_cast<__m128i*>(coefficients + k), _mm_setzero_si128());
#else
    std::memset(coefficients, 0, 64 * sizeof(int16_t));
#endif
}

// Transforms and quantises the block at (block row, block column) of a scan component, then codes
// it or keeps it for the buffered passes.
KV_ALWAYS_INLINE void EncodeBlock(CodecContext* context, const ComponentRun& run, int blockRow, int blockColumn) {
    const ComponentInfo* component = run.component;
    // Coded at once, the block's cells that stay 0 are never read, so never cleared.
    int16_t coefficients[64];
    if (context->bufferWholeImage) ClearCoefficients(coefficients);
    QuantisedBlock quantised{0, 0};
    if (blockColumn * 8 >= run.lastBlockStart + 8) [[unlikely]] {
        // Beyond the data: the previous DC again and no AC.
        ClearCoefficients(coefficients);
        coefficients[0] = static_cast<int16_t>(run.scan->dcPredictor);
    } else {
        const uint8_t* first = component->samples + static_cast<std::size_t>(blockRow) * 8 * component->rowWidth +
                               static_cast<std::size_t>(blockColumn) * run.blockBytes;
        quantised = run.quantiser(context, coefficients, first, component);
    }
    if (context->bufferWholeImage) {
        StoreBlock(context, component, blockColumn, blockRow, coefficients, quantised.last);
        run.scan->dcPredictor = coefficients[0];
    } else {
        CodeBlockOf(context, run.scan, coefficients, quantised.nonzero, quantised.last);
    }
    ++context->mcuNumber;
}

// Before an MCU (or a block of a one-component scan). Rows kept for the buffered passes have no
// restarts: those come with the scans coded from the buffer.
void CountDownRestart(CodecContext* context) {
    if (!context->bufferWholeImage && RestartDue(context)) WriteRestart(context);
}

// Quantised blocks that wait to be coded together: a few MCUs, or a run of a one-component scan's
// blocks. They are transformed component by component, a run of side-by-side blocks per call, and
// coded in the scan's order.
struct BlockBatch {
    static constexpr int kMostBlocks = 40;
    int16_t cells[kMostBlocks][64];
    QuantisedBlock quantised[kMostBlocks];
    uint8_t order[kMostBlocks];            // coding order: the slot of cells and quantised
    uint8_t component[kMostBlocks];        // coding order: the scan component (several-component scans)
    ScanComponent* scan[kMostBlocks];      // coding order, with the scan component's code tables
    const HuffmanCodes* dc[kMostBlocks];
    const HuffmanCodes* ac[kMostBlocks];
    int base[kMaxComponents];              // the first slot of each scan component (PlanBatch)
};

// Puts the block at coding position n in the scan component's hands.
inline void SetScanOf(CodecContext* context, BlockBatch& batch, int n, ScanComponent* scan) {
    batch.scan[n] = scan;
    batch.dc[n] = &context->dcCodes[scan->dcTable];
    batch.ac[n] = &context->acCodes[scan->acTable];
}

// The first block column of a component that lies beyond the data (see BlockOutsideData).
int32_t FirstColumnOutside(int32_t lastBlockStart) { return (lastBlockStart + 8 + 7) / 8; }

// Codes `count` blocks of the batch in coding order straight into the sink's buffer, which is first
// written to the file when it has less room than the batch's worst case. (An empty buffer always has
// room: a failing write empties it too, and the failure stays in the sink for CheckOutput.)
static_assert(kStreamBufferSize > BlockBatch::kMostBlocks * kMostBlockBytes + 16);
void CodeBatch(CodecContext* context, const BlockBatch& batch, int count) {
    context->mcuNumber += count;
    StreamBuffer* sink = context->stream;
    if (sink->bufferSize - sink->count <= count * kMostBlockBytes + 16) [[unlikely]] {
        SinkFlush(sink);
        if (sink->bufferSize - sink->count <= count * kMostBlockBytes + 16) CodecBug();
    }
    uint8_t* const start = sink->buffer + sink->index;
    DirectBits bits{context->outputBits, 64 - context->outputBitCount, start};
    for (int i = 0; i < count; ++i) {
        const int slot = batch.order[i];
        CodeBlockDirect(context, bits, batch.scan[i], batch.dc[i], batch.ac[i], batch.cells[slot],
                        batch.quantised[slot].nonzero, batch.quantised[slot].last);
    }
    // Back to the bit writer's form: at most 31 bits wait.
    int pending = 64 - bits.free;
    if (pending >= 32) {
        pending -= 32;
        const uint32_t word = static_cast<uint32_t>(bits.buffer >> pending);
        for (int shift = 24; shift >= 0; shift -= 8) {
            const uint32_t byte = (word >> shift) & 0xFF;
            *bits.out++ = static_cast<uint8_t>(byte);
            if (byte == 0xFF) *bits.out++ = 0;
        }
    }
    context->outputBits = bits.buffer & ((uint64_t{1} << pending) - 1);
    context->outputBitCount = pending;
    const int32_t written = static_cast<int32_t>(bits.out - start);
    if (written != 0) {
        sink->index += written;
        sink->count += written;
        context->bytesWritten += static_cast<uint32_t>(written);
        lastError = 0;
    }
}

// Gives a block beyond the data (no AC) the DC of the component's previous block in coding order.
KV_ALWAYS_INLINE void RepeatPredictor(BlockBatch& batch, int slot, int32_t predictor) {
    batch.cells[slot][0] = static_cast<int16_t>(predictor);
    batch.quantised[slot] = QuantisedBlock{0, 0};
}

// Where the blocks of `count` MCUs of a scan of several components go: each component's blocks block
// row by block row (slots base + row x count x h + column), and the scan's order of them. The same for
// every batch of that many MCUs; answers the number of blocks.
int PlanBatch(CodecContext* context, const ComponentRun* runs, int components, int count, BlockBatch& batch) {
    int slots = 0;
    for (int i = 0; i < components; ++i) {
        batch.base[i] = slots;
        slots += count * runs[i].component->h * runs[i].component->v;
    }
    int n = 0;
    for (int m = 0; m < count; ++m) {
        for (int i = 0; i < components; ++i) {
            const int h = runs[i].component->h, v = runs[i].component->v;
            for (int row = 0; row < v; ++row) {
                for (int column = 0; column < h; ++column, ++n) {
                    batch.order[n] = static_cast<uint8_t>(batch.base[i] + row * count * h + m * h + column);
                    batch.component[n] = static_cast<uint8_t>(i);
                    SetScanOf(context, batch, n, runs[i].scan);
                }
            }
        }
    }
    return n;
}

// Transforms and quantises MCUs mcu .. mcu + count - 1 into the slots PlanBatch gave them.
void FillBatch(CodecContext* context, const ComponentRun* runs, int components, int mcu, int count, int blocks,
               BlockBatch& batch) {
    int32_t outside[kMaxComponents];
    bool beyondData = false;
    for (int i = 0; i < components; ++i) {
        const ComponentRun& run = runs[i];
        const ComponentInfo* component = run.component;
        const int32_t firstColumn = mcu * component->h, across = count * component->h;
        outside[i] = FirstColumnOutside(run.lastBlockStart);
        const int32_t inside = std::max(0, std::min(across, outside[i] - firstColumn));
        beyondData |= inside < across;
        if (inside == 0) continue;
        const uint8_t* first = component->samples + static_cast<std::size_t>(firstColumn) * run.blockBytes;
        for (int row = 0; row < component->v; ++row) {
            const int slot = batch.base[i] + row * across;
            const uint8_t* rowFirst = first + static_cast<std::size_t>(row) * 8 * component->rowWidth;
            run.runQuantiser(context, component, run.natural, rowFirst, inside, &batch.cells[slot],
                             &batch.quantised[slot]);
        }
    }
    if (beyondData) [[unlikely]] {
        int32_t predictor[kMaxComponents];
        for (int i = 0; i < components; ++i) predictor[i] = runs[i].scan->dcPredictor;
        for (int k = 0; k < blocks; ++k) {
            const int i = batch.component[k], slot = batch.order[k];
            const int column = mcu * runs[i].component->h + (slot - batch.base[i]) % (count * runs[i].component->h);
            if (column >= outside[i]) RepeatPredictor(batch, slot, predictor[i]);
            predictor[i] = batch.cells[slot][0];
        }
    }
}

// A scan of one component codes the blocks of its rows that reach into the image, not the MCU's
// padding: in this MCU row, blockRows rows (at most v, fewer at the bottom) of blocksAcross blocks.
struct SingleScanRows {
    int32_t blockRows;
    int32_t blocksAcross;
};
SingleScanRows SingleScanRowsOf(const CodecContext* context, const ComponentInfo* component) {
    const int32_t firstImageRow = context->mcuRowsCoded * 8 * context->vMax;
    const int32_t componentHeight = (context->height * component->v + context->vMax - 1) / context->vMax;
    const int32_t firstComponentRow = firstImageRow * component->v / context->vMax;
    const int32_t componentWidth = (context->width * component->h + context->hMax - 1) / context->hMax;
    int32_t blockRows = 0;
    while (blockRows < component->v && firstComponentRow + 8 * blockRows < componentHeight) ++blockRows;
    return {blockRows, (componentWidth + 7) / 8};
}

// EncodeMcuRow for rows coded as they come (no buffering, no counting): a few MCUs at a time (one
// with restart markers), or a run of a one-component scan's blocks, transformed and quantised, then
// coded.
void CodeMcuRowInBatches(CodecContext* context) {
    BlockBatch batch;
    NaturalDivisors natural[2];
    for (int table = 0; table < context->quantTableCount && table < 2; ++table) {
        PrepareNaturalDivisors(context, table, &natural[table]);
    }
    if (context->scanComponentCount > 1) {
        const int count = context->scanComponentCount;
        ComponentRun runs[kMaxComponents];
        int blocksPerMcu = 0;
        for (int i = 0; i < count; ++i) {
            runs[i] = RunOf(context, &context->scan[i]);
            runs[i].natural = &natural[runs[i].component->quantTable];
            blocksPerMcu += runs[i].component->h * runs[i].component->v;
        }
        const int mcusPerBatch = context->restartInterval != 0 ? 1 : BlockBatch::kMostBlocks / blocksPerMcu;
        int planned = mcusPerBatch;
        int blocks = PlanBatch(context, runs, count, planned, batch);
        for (int mcu = 0; mcu < context->mcusPerRow; mcu += mcusPerBatch) {
            if (RestartDue(context)) WriteRestart(context);
            const int mcus = std::min(mcusPerBatch, context->mcusPerRow - mcu);
            if (mcus != planned) blocks = PlanBatch(context, runs, count, planned = mcus, batch);
            FillBatch(context, runs, count, mcu, mcus, blocks, batch);
            CodeBatch(context, batch, blocks);
        }
        return;
    }
    // One component: its block rows one by one, none wholly below the image, in runs (one block at a
    // time with restart markers).
    ScanComponent* scan = &context->scan[0];
    const ComponentInfo* component = scan->component;
    const SingleScanRows rows = SingleScanRowsOf(context, component);
    ComponentRun run = RunOf(context, scan);
    run.natural = &natural[component->quantTable];
    const int32_t outside = FirstColumnOutside(run.lastBlockStart);
    const int perBatch = context->restartInterval != 0 ? 1 : BlockBatch::kMostBlocks;
    for (int i = 0; i < BlockBatch::kMostBlocks; ++i) {
        batch.order[i] = static_cast<uint8_t>(i);
        SetScanOf(context, batch, i, scan);
    }
    for (int row = 0; row < rows.blockRows; ++row) {
        const uint8_t* rowSamples = component->samples + static_cast<std::size_t>(row) * 8 * component->rowWidth;
        for (int column = 0; column < rows.blocksAcross; column += perBatch) {
            if (RestartDue(context)) WriteRestart(context);
            const int blocks = std::min(perBatch, rows.blocksAcross - column);
            const int inside = std::max(0, std::min(blocks, outside - column));
            if (inside > 0) {
                const uint8_t* first = rowSamples + static_cast<std::size_t>(column) * run.blockBytes;
                run.runQuantiser(context, component, run.natural, first, inside, batch.cells, batch.quantised);
            }
            for (int j = inside; j < blocks; ++j) {
                RepeatPredictor(batch, j, j == 0 ? scan->dcPredictor : batch.cells[j - 1][0]);
            }
            CodeBatch(context, batch, blocks);
        }
    }
}

}  // namespace

bool RestartDue(CodecContext* context) {
    if (context->restartInterval == 0 || --context->restartCountdown > 0) return false;
    context->restartCountdown = context->restartInterval;
    return true;
}

void WriteRestart(CodecContext* context) {
    for (ScanComponent& scan : context->scan) scan.dcPredictor = 0;
    if (context->statisticsPass) return;
    FlushBits(context);
    WriteMarker(context, 0xD0 + context->restartMarker);
    context->restartMarker = (context->restartMarker + 1) & 7;
}

void EncodeMcuRow(CodecContext* context) {
    if (!context->bufferWholeImage && !context->statisticsPass) {
        CodeMcuRowInBatches(context);
        ++context->mcuRowsCoded;
        return;
    }
    if (context->scanComponentCount > 1) {
        const int count = context->scanComponentCount;
        ComponentRun runs[kMaxComponents];
        for (int i = 0; i < count; ++i) runs[i] = RunOf(context, &context->scan[i]);
        for (int mcu = 0; mcu < context->mcusPerRow; ++mcu) {
            CountDownRestart(context);
            // The sample buffers hold one MCU row: block rows count from its top.
            for (int i = 0; i < count; ++i) {
                const int h = runs[i].component->h, v = runs[i].component->v;
                for (int row = 0; row < v; ++row) {
                    for (int column = 0; column < h; ++column) EncodeBlock(context, runs[i], row, mcu * h + column);
                }
            }
        }
    } else {
        // One component: its block rows one by one, none wholly below the image.
        ScanComponent* scan = &context->scan[0];
        const ComponentInfo* component = scan->component;
        const SingleScanRows rows = SingleScanRowsOf(context, component);
        const ComponentRun run = RunOf(context, scan);
        for (int row = 0; row < rows.blockRows; ++row) {
            for (int column = 0; column < rows.blocksAcross; ++column) {
                CountDownRestart(context);
                EncodeBlock(context, run, row, column);
            }
        }
    }
    ++context->mcuRowsCoded;
}

}  // namespace kv::codec
