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
// Batches of blocks coded at once: the bits of a whole batch gather in a 64-bit register, each code's
// whole bytes leave at once into a scratch area, and the batch's bytes go into the sink's buffer,
// stuffed, once the buffer is known to have room for the batch's worst case.

// The most bytes one block can add: at most 68 codes (DC, 63 AC, 3 runs of sixteen zeros, EOB) of at
// most 32 bits each, every byte possibly 0xFF and stuffed.
constexpr int kMostBlockBytes = 68 * 4 * 2;

// A batch's bits: the stream's bits gather at the bottom of `buffer` (the bits above them are stale);
// `total` is the count of them since the start of `scratch`, where the batch's whole bytes gather
// before they are stuffed: every byte before the one bit `total` falls in is complete there.
struct DirectBits {
    uint64_t buffer;
    uint64_t total;
    uint8_t* scratch;
};

// Stores a 64-bit word most significant byte first.
KV_ALWAYS_INLINE void StoreBigEndian(uint8_t* out, uint64_t word) {
    if constexpr (std::endian::native == std::endian::little) {
#if defined(__GNUC__) || defined(__clang__)
        word = __builtin_bswap64(word);
#elif defined(_MSC_VER)
        word = _byteswap_uint64(word);
#else
        uint64_t swapped = 0;
        for (int i = 0; i < 8; ++i) swapped |= ((word >> (8 * i)) & 0xFF) << (56 - 8 * i);
        word = swapped;
#endif
    }
    std::memcpy(out, &word, 8);
}

// Appends a code with its value bits, `length` (1..32) bits in all with nothing above them in value;
// a length above 32 is a symbol without a code. The whole bytes leave at once, without a branch: the
// bits from the first incomplete byte on (at most 39) are stored as the top of a word at that byte,
// the partial byte being stored again with the next code.
KV_ALWAYS_INLINE void AppendDirect(CodecContext* context, DirectBits& bits, uint32_t value, uint64_t length) {
    if (length > 32) [[unlikely]] CodecRaise(context, categoryMissingCode, messageCodeMissingFromTable);
    const uint64_t first = bits.total >> 3;
    bits.buffer = (bits.buffer << length) | value;
    bits.total += length;
    StoreBigEndian(bits.scratch + first, bits.buffer << ((first * 8 - bits.total) & 63));
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

// SymbolKeys' vector forms. A cell's size is the bits of its magnitude m, found byte by byte: a byte
// b that is not 0 gives bits(b) + 8 as the larger of two nibble look-ups (bits(n) + 8 for the low
// nibble, bits(n) + 12 for the high one, 0 for a nibble 0), and the size is the high byte's figure,
// or the low byte's less 8 when the high byte is 0.
#if KV_AVX2
KV_ALWAYS_INLINE KV_TARGET_AVX2 void SymbolKeysAvx2(const int16_t* cells, uint16_t* keys) {
    const __m256i lowNibbleBits = _mm256_setr_epi8(0, 9, 10, 10, 11, 11, 11, 11, 12, 12, 12, 12, 12, 12, 12, 12, 0, 9,
                                                   10, 10, 11, 11, 11, 11, 12, 12, 12, 12, 12, 12, 12, 12);
    const __m256i highNibbleBits = _mm256_setr_epi8(0, 13, 14, 14, 15, 15, 15, 15, 16, 16, 16, 16, 16, 16, 16, 16, 0,
                                                    13, 14, 14, 15, 15, 15, 15, 16, 16, 16, 16, 16, 16, 16, 16);
    const __m256i nibble = _mm256_set1_epi8(0x0F);
    const __m256i lowByte = _mm256_set1_epi16(0xFF);
    const __m256i eight = _mm256_set1_epi16(8);
    const __m256i negative = _mm256_set1_epi16(16);
    KV_UNROLL
    for (int k = 0; k < 64; k += 16) {
        const __m256i values = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(cells + k));
        const __m256i magnitudes = _mm256_abs_epi16(values);
        const __m256i low = _mm256_shuffle_epi8(lowNibbleBits, _mm256_and_si256(magnitudes, nibble));
        const __m256i high =
            _mm256_shuffle_epi8(highNibbleBits, _mm256_and_si256(_mm256_srli_epi16(magnitudes, 4), nibble));
        const __m256i byteBits = _mm256_max_epu8(low, high);
        const __m256i sizes = _mm256_max_epi16(_mm256_subs_epu16(_mm256_and_si256(byteBits, lowByte), eight),
                                               _mm256_srli_epi16(byteBits, 8));
        const __m256i signs = _mm256_and_si256(_mm256_srai_epi16(values, 15), negative);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(keys + k), _mm256_or_si256(_mm256_slli_epi16(sizes, 5), signs));
    }
}

KV_ALWAYS_INLINE KV_TARGET_AVX512 void SymbolKeysAvx512(const int16_t* cells, uint16_t* keys) {
    // The same nibble tables in each 16-byte lane (bytes 0-3, 4-7, 8-11, 12-15 of each, low first).
    const __m512i lowNibbleBits = _mm512_set4_epi32(0x0C0C0C0C, 0x0C0C0C0C, 0x0B0B0B0B, 0x0A0A0900);
    const __m512i highNibbleBits = _mm512_set4_epi32(0x10101010, 0x10101010, 0x0F0F0F0F, 0x0E0E0D00);
    const __m512i nibble = _mm512_set1_epi8(0x0F);
    const __m512i lowByte = _mm512_set1_epi16(0xFF);
    const __m512i eight = _mm512_set1_epi16(8);
    const __m512i negative = _mm512_set1_epi16(16);
    KV_UNROLL
    for (int k = 0; k < 64; k += 32) {
        const __m512i values = _mm512_loadu_si512(cells + k);
        const __m512i magnitudes = _mm512_abs_epi16(values);
        const __m512i low = _mm512_shuffle_epi8(lowNibbleBits, _mm512_and_si512(magnitudes, nibble));
        const __m512i high =
            _mm512_shuffle_epi8(highNibbleBits, _mm512_and_si512(_mm512_srli_epi16(magnitudes, 4), nibble));
        const __m512i byteBits = _mm512_max_epu8(low, high);
        const __m512i sizes = _mm512_max_epi16(_mm512_subs_epu16(_mm512_and_si512(byteBits, lowByte), eight),
                                               _mm512_srli_epi16(byteBits, 8));
        const __m512i signs = _mm512_and_si512(_mm512_srai_epi16(values, 15), negative);
        _mm512_storeu_si512(keys + k, _mm512_or_si512(_mm512_slli_epi16(sizes, 5), signs));
    }
}

KV_TARGET_AVX2 void SymbolKeysAvx2Call(const int16_t* cells, uint16_t* keys) { SymbolKeysAvx2(cells, keys); }
KV_TARGET_AVX512 void SymbolKeysAvx512Call(const int16_t* cells, uint16_t* keys) { SymbolKeysAvx512(cells, keys); }
#endif

// A symbol's code with the value bits it is followed by, ready to be added to the value: for a symbol
// of size s and a value v of that size, (entry >> 8) + v is the code followed by the s value bits,
// and entry & 0xFF is the length of both (kNoCodeLength for a symbol without a code). A positive
// value's entry holds code x 2^s; a negative value's (code + 1) x 2^s - 1, so that the sum is
// code x 2^s + (2^s - 1 + v): the code followed by the low s bits of v - 1.
using SymbolEntry = int64_t;

// A table's code and length give the entry of a positive value; a negative value's entry is larger
// by (2^s - 1) x 256. A symbol without a code has code 0 and length kNoCodeLength in the table, so its
// entries keep that length.
KV_ALWAYS_INLINE SymbolEntry PositiveEntry(uint32_t code, uint32_t length, int size) {
    return (int64_t{code} << size) * 256 + length;
}
KV_ALWAYS_INLINE SymbolEntry NegativeEntry(SymbolEntry positive, int size) {
    return positive + ((int64_t{1} << size) - 1) * 256;
}
static_assert(kNoCodeLength == 0xFF, "a symbol without a code keeps its length in the entry's low byte");

// Adds a symbol's entry and its value (0 for a symbol without value bits).
KV_ALWAYS_INLINE void AppendEntry(CodecContext* context, DirectBits& bits, SymbolEntry entry, int32_t value) {
    AppendDirect(context, bits, static_cast<uint32_t>((entry >> 8) + value), static_cast<uint64_t>(entry & 0xFF));
}

// The AC entries of a scan component's table by SymbolKey + run, the size-0 symbols (EOB, ZRL) at
// their run; the DC entries by size x 2 + 1 for a negative difference. Every size a 16-bit cell can
// have is there; sizes without codes (AC above 10, DC above 11) have none.
struct SymbolTables {
    SymbolEntry dc[kSymbolSizes * 2];
    SymbolEntry ac[kSymbolSizes * 32];
};

// Fills a scan component's SymbolTables from its code tables.
void BuildSymbolTables(const HuffmanCodes& dc, const HuffmanCodes& ac, SymbolTables* tables) {
    for (int size = 0; size < kSymbolSizes; ++size) {
        const SymbolEntry positive = size <= 11 ? PositiveEntry(dc.code[size], dc.length[size], size) : kNoCodeLength;
        tables->dc[size * 2] = positive;
        tables->dc[size * 2 + 1] = NegativeEntry(positive, size);
    }
    // Size 0: EOB and ZRL (and the progressive scans' EOB runs) at their run; no negative values.
    for (int run = 0; run < 16; ++run) {
        tables->ac[run] = PositiveEntry(ac.code[run], ac.length[run], 0);
        tables->ac[16 + run] = kNoCodeLength;
    }
    for (int size = 1; size <= 10; ++size) {
        SymbolEntry* row = tables->ac + size * 32;
        for (int run = 0; run < 16; ++run) {
            const int index = size * 16 + run;
            row[run] = PositiveEntry(ac.code[index], ac.length[index], size);
            row[16 + run] = NegativeEntry(row[run], size);
        }
    }
    for (int k = 11 * 32; k < kSymbolSizes * 32; ++k) tables->ac[k] = kNoCodeLength;
}

// CodeBlockOf's output pass with the bits in a DirectBits and the component's SymbolTables; each AC
// value's SymbolKey from `keys` (one per cell, made beforehand) or, without them, worked out here.
template <bool kKeysGiven>
KV_ALWAYS_INLINE void CodeBlockDirect(CodecContext* context, DirectBits& bits, ScanComponent* scan,
                                      const SymbolTables* tables, const int16_t* coefficients, const uint16_t* keys,
                                      uint64_t nonzero, int last) {
    const SymbolEntry* ac = tables->ac;
    const int32_t difference = coefficients[0] - scan->dcPredictor;
    scan->dcPredictor = coefficients[0];
    // The bits of the magnitude m (0 for 0) are those of 2m + 1 less one, which one bit scan gives
    // without a test for 0.
    const uint32_t dcSign = static_cast<uint32_t>(difference >> 31);
    const uint32_t dcMagnitude = (static_cast<uint32_t>(difference) ^ dcSign) - dcSign;
    const uint64_t dcSize = TopBitIndex(uint64_t{dcMagnitude} * 2 + 1);
    AppendEntry(context, bits, tables->dc[dcSize * 2 + (dcSign & 1)], difference);

    // The nonzero cells in order, each cleared from the mask as it is taken: the run is its position
    // less the one after the cell before it. Only the clearing of the lowest bit is carried from one
    // symbol to the next, not the bit scan.
    uint64_t rest = nonzero & ~uint64_t{1};
    uint64_t next = 1;
    while (rest != 0) {
        const uint64_t at = CountTrailingZeros(rest);
        rest &= rest - 1;
        uint64_t run = at - next;
        next = at + 1;
        const int32_t value = coefficients[at];
        const SymbolEntry* entries = ac;
        uint64_t key;
        if constexpr (kKeysGiven) {
            key = keys[at];
        } else {
            // The size less one from the top bit's index: one size further on in the table.
            const uint64_t magnitude = static_cast<uint64_t>(value < 0 ? -int64_t{value} : int64_t{value});
            key = TopBitIndex(magnitude) * 32 + (static_cast<uint64_t>(int64_t{value} >> 63) & 16);
            entries = ac + 32;
        }
        if (run >= 16) [[unlikely]] {
            do {
                AppendEntry(context, bits, ac[kZeroRunIndex], 0);
                run -= 16;
            } while (run >= 16);
        }
        AppendEntry(context, bits, entries[key + run], value);
    }
    if (last != 63) AppendEntry(context, bits, ac[kEndOfBlockIndex], 0);
}

}  // namespace

void SymbolKeysPortable(const int16_t* cells, uint16_t* keys) {
    for (int k = 0; k < 64; ++k) {
        const int32_t value = cells[k];
        const int size = std::bit_width(static_cast<uint32_t>(value < 0 ? -value : value));
        keys[k] = static_cast<uint16_t>(size * 32 + (value < 0 ? 16 : 0));
    }
}

void SymbolKeys(const int16_t* cells, uint16_t* keys) {
#if KV_AVX2
    if (simd::HasAvx512()) return SymbolKeysAvx512Call(cells, keys);
    if (simd::HasAvx2()) return SymbolKeysAvx2Call(cells, keys);
#endif
    SymbolKeysPortable(cells, keys);
}

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
    const SymbolTables* tables;     // the scan component's code tables for rows coded in batches
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
    const SymbolTables* tables[kMostBlocks];
    int base[kMaxComponents];              // the first slot of each scan component (PlanBatch)
};

// Puts the block at coding position n in the scan component's hands.
inline void SetScanOf(BlockBatch& batch, int n, ScanComponent* scan, const SymbolTables* tables) {
    batch.scan[n] = scan;
    batch.tables[n] = tables;
}

// The first block column of a component that lies beyond the data (see BlockOutsideData).
int32_t FirstColumnOutside(int32_t lastBlockStart) { return (lastBlockStart + 8 + 7) / 8; }

// The start and the end of a batch coded straight into the sink's buffer, which is first written to
// the file when it has less room than the batch's worst case. (An empty buffer always has room: a
// failing write empties it too, and the failure stays in the sink for CheckOutput.) The batch's
// bytes gather unstuffed in `scratch` (BatchScratch), then go to the buffer with a 0x00 after each
// 0xFF, a run of bytes without 0xFF at a time.
static_assert(kStreamBufferSize > BlockBatch::kMostBlocks * kMostBlockBytes + 16);
// The scratch area: the unstuffed bytes of the batch's worst case, the bits waiting before it and
// the last word stored past them.
constexpr int kBatchScratchBytes = BlockBatch::kMostBlocks * kMostBlockBytes / 2 + 4 + 8;
KV_ALWAYS_INLINE DirectBits StartBatch(CodecContext* context, int count, uint8_t* scratch) {
    context->mcuNumber += count;
    StreamBuffer* sink = context->stream;
    if (sink->bufferSize - sink->count <= count * kMostBlockBytes + 16) [[unlikely]] {
        SinkFlush(sink);
        if (sink->bufferSize - sink->count <= count * kMostBlockBytes + 16) CodecBug();
    }
    // The bits that wait (up to 31) may hold whole bytes: they are stored first.
    const uint64_t waiting = static_cast<uint64_t>(context->outputBitCount);
    StoreBigEndian(scratch, context->outputBits << ((64 - waiting) & 63));
    return DirectBits{context->outputBits, waiting, scratch};
}
KV_ALWAYS_INLINE void FinishBatch(CodecContext* context, DirectBits& bits, const uint8_t* scratch) {
    StreamBuffer* sink = context->stream;
    uint8_t* const start = sink->buffer + sink->index;
    uint8_t* to = start;
    const uint8_t* from = scratch;
    for (;;) {
        const std::size_t left = static_cast<std::size_t>(bits.scratch + (bits.total >> 3) - from);
        const auto* mark = static_cast<const uint8_t*>(std::memchr(from, 0xFF, left));
        if (mark == nullptr) {
            std::memcpy(to, from, left);
            to += left;
            break;
        }
        const std::size_t upToMark = static_cast<std::size_t>(mark - from) + 1;
        std::memcpy(to, from, upToMark);
        to += upToMark;
        *to++ = 0;
        from += upToMark;
    }
    // Back to the bit writer's form: the bits of the partial byte wait.
    const int pending = static_cast<int>(bits.total & 7);
    context->outputBits = bits.buffer & ((uint64_t{1} << pending) - 1);
    context->outputBitCount = pending;
    const int32_t written = static_cast<int32_t>(to - start);
    if (written != 0) {
        sink->index += written;
        sink->count += written;
        context->bytesWritten += static_cast<uint32_t>(written);
        lastError = 0;
    }
}

// Codes `count` blocks of the batch in coding order straight into the sink's buffer. The vector forms
// make each block's symbol keys in one pass before its symbols are coded; they are compiled for their
// processors as a whole, so the coding loop gets the shifts by a register that need no CL.
using BatchCoder = void (*)(CodecContext* context, const BlockBatch& batch, int count);

void CodeBatchPortable(CodecContext* context, const BlockBatch& batch, int count) {
    alignas(32) uint8_t scratch[kBatchScratchBytes];
    DirectBits bits = StartBatch(context, count, scratch);
    for (int i = 0; i < count; ++i) {
        const int slot = batch.order[i];
        CodeBlockDirect<false>(context, bits, batch.scan[i], batch.tables[i], batch.cells[slot], nullptr,
                               batch.quantised[slot].nonzero, batch.quantised[slot].last);
    }
    FinishBatch(context, bits, scratch);
}

#if KV_AVX2
// With at least this many nonzero AC cells a block on average in a batch, the vector pass that makes
// every cell's key costs fewer instructions than working out the keys symbol by symbol (about 9
// each; the pass costs about 70 with AVX2, 35 with AVX-512). The choice is made per batch, where
// neighbouring batches mostly agree, so that its branch is foreseen.
constexpr int kVectorKeysFromAvx2 = 8;
constexpr int kVectorKeysFromAvx512 = 4;

// The nonzero AC cells of a batch's blocks.
KV_ALWAYS_INLINE int CountSymbols(const BlockBatch& batch, int count) {
    int symbols = 0;
    for (int slot = 0; slot < count; ++slot) symbols += std::popcount(batch.quantised[slot].nonzero);
    return symbols;
}

KV_TARGET_AVX2 void CodeBatchAvx2(CodecContext* context, const BlockBatch& batch, int count) {
    alignas(32) uint8_t scratch[kBatchScratchBytes];
    DirectBits bits = StartBatch(context, count, scratch);
    if (CountSymbols(batch, count) >= kVectorKeysFromAvx2 * count) {
        for (int i = 0; i < count; ++i) {
            const int slot = batch.order[i];
            alignas(32) uint16_t keys[64];
            SymbolKeysAvx2(batch.cells[slot], keys);
            CodeBlockDirect<true>(context, bits, batch.scan[i], batch.tables[i], batch.cells[slot], keys,
                                  batch.quantised[slot].nonzero, batch.quantised[slot].last);
        }
    } else {
        for (int i = 0; i < count; ++i) {
            const int slot = batch.order[i];
            CodeBlockDirect<false>(context, bits, batch.scan[i], batch.tables[i], batch.cells[slot], nullptr,
                                   batch.quantised[slot].nonzero, batch.quantised[slot].last);
        }
    }
    FinishBatch(context, bits, scratch);
}

KV_TARGET_AVX512 void CodeBatchAvx512(CodecContext* context, const BlockBatch& batch, int count) {
    alignas(32) uint8_t scratch[kBatchScratchBytes];
    DirectBits bits = StartBatch(context, count, scratch);
    if (CountSymbols(batch, count) >= kVectorKeysFromAvx512 * count) {
        for (int i = 0; i < count; ++i) {
            const int slot = batch.order[i];
            alignas(64) uint16_t keys[64];
            SymbolKeysAvx512(batch.cells[slot], keys);
            CodeBlockDirect<true>(context, bits, batch.scan[i], batch.tables[i], batch.cells[slot], keys,
                                  batch.quantised[slot].nonzero, batch.quantised[slot].last);
        }
    } else {
        for (int i = 0; i < count; ++i) {
            const int slot = batch.order[i];
            CodeBlockDirect<false>(context, bits, batch.scan[i], batch.tables[i], batch.cells[slot], nullptr,
                                   batch.quantised[slot].nonzero, batch.quantised[slot].last);
        }
    }
    FinishBatch(context, bits, scratch);
}
#endif

BatchCoder BatchCoderFor() {
#if KV_AVX2
    if (simd::HasAvx512()) return CodeBatchAvx512;
    if (simd::HasAvx2()) return CodeBatchAvx2;
#endif
    return CodeBatchPortable;
}

// Gives a block beyond the data (no AC) the DC of the component's previous block in coding order.
KV_ALWAYS_INLINE void RepeatPredictor(BlockBatch& batch, int slot, int32_t predictor) {
    batch.cells[slot][0] = static_cast<int16_t>(predictor);
    batch.quantised[slot] = QuantisedBlock{0, 0};
}

// Where the blocks of `count` MCUs of a scan of several components go: each component's blocks block
// row by block row (slots base + row x count x h + column), and the scan's order of them. The same for
// every batch of that many MCUs; answers the number of blocks.
int PlanBatch(const ComponentRun* runs, int components, int count, BlockBatch& batch) {
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
                    SetScanOf(batch, n, runs[i].scan, runs[i].tables);
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
    // The vector forms of the coder read all 64 cells of a block, the quantiser writes only those
    // that matter: the others keep what an earlier block left, or these zeros.
    std::memset(batch.cells, 0, sizeof batch.cells);
    const BatchCoder codeBatch = BatchCoderFor();
    NaturalDivisors natural[2];
    for (int table = 0; table < context->quantTableCount && table < 2; ++table) {
        PrepareNaturalDivisors(context, table, &natural[table]);
    }
    // Each scan component's symbol tables, shared by those with the same code tables.
    SymbolTables tables[kMaxComponents];
    const SymbolTables* tablesOf[kMaxComponents];
    const int componentCount = context->scanComponentCount;
    for (int i = 0; i < componentCount; ++i) {
        const ScanComponent& scan = context->scan[i];
        tablesOf[i] = &tables[i];
        for (int j = 0; j < i; ++j) {
            if (context->scan[j].dcTable == scan.dcTable && context->scan[j].acTable == scan.acTable) {
                tablesOf[i] = tablesOf[j];
            }
        }
        if (tablesOf[i] == &tables[i]) {
            BuildSymbolTables(context->dcCodes[scan.dcTable], context->acCodes[scan.acTable], &tables[i]);
        }
    }
    if (componentCount > 1) {
        const int count = componentCount;
        ComponentRun runs[kMaxComponents];
        int blocksPerMcu = 0;
        for (int i = 0; i < count; ++i) {
            runs[i] = RunOf(context, &context->scan[i]);
            runs[i].natural = &natural[runs[i].component->quantTable];
            runs[i].tables = tablesOf[i];
            blocksPerMcu += runs[i].component->h * runs[i].component->v;
        }
        const int mcusPerBatch = context->restartInterval != 0 ? 1 : BlockBatch::kMostBlocks / blocksPerMcu;
        int planned = mcusPerBatch;
        int blocks = PlanBatch(runs, count, planned, batch);
        for (int mcu = 0; mcu < context->mcusPerRow; mcu += mcusPerBatch) {
            if (RestartDue(context)) WriteRestart(context);
            const int mcus = std::min(mcusPerBatch, context->mcusPerRow - mcu);
            if (mcus != planned) blocks = PlanBatch(runs, count, planned = mcus, batch);
            FillBatch(context, runs, count, mcu, mcus, blocks, batch);
            codeBatch(context, batch, blocks);
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
        SetScanOf(batch, i, scan, tablesOf[0]);
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
            codeBatch(context, batch, blocks);
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
