// The decoder's bit reader over entropy-coded data, shared by sequential and progressive decoding.
// Its state lives in the context between calls and in registers (a BitState) while a block is
// decoded. Reading stops in front of a marker: the 0xFF stays as the look-ahead byte and the marker
// code goes back into the source, so the marker reader finds it. Requests near a marker are served
// from the bits still buffered, padded with zeros; a request that needs more than those raises.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

#include "codec/codec_context.h"
#include "codec/simd.h"

namespace kv::codec {


// The next byte of the source for the decoder: 0..255, or -1 when the source has ended or failed.
// Running out of data is the decoder's to judge, so a plain end of file leaves lastError clear;
// a failing read keeps its code there.
inline int DecoderFetchByte(CodecContext* context) {
    const int byte = SourceGetByte(context->stream);
    if (byte < 0 && StreamError(context->stream) == kIoOk) lastError = kIoOk;
    return byte;
}

// Answers the next marker code, skipping anything in front of it; the bit buffer is discarded.
int NextMarker(CodecContext* context);

// The source ended inside a marker segment (category 10).
[[noreturn]] void RaiseSourceEnded(CodecContext* context);

// Reads `count` (0..16) raw bits.
uint32_t ReadBits(CodecContext* context, int count);

// The hot functions below are forced inline so that a block's bit state stays in registers.
// The valid bits stand at the top of the buffer, the next one highest, and every bit below them is
// 0: the next n bits are the buffer shifted right by 64 - n (zero-padded when fewer are buffered),
// and taking them shifts the buffer left, so that a symbol's table look-up waits on no count.
struct BitState {
    uint64_t buffer;   // the top `count` bits are valid, the rest 0
    int count;         // 0..64
};

// Handles a 0xFF (or the end of the source) in the look-ahead byte of the context's reader: true
// when it was a stuffed data byte, now appended; false when a marker or the end stops the reading.
bool InspectMarker(CodecContext* context);

// Data bits were needed where a marker or the end of the source stands: a marker followed by a byte
// above 0 is a marker where none may be (category 12); anything else means the data ran out (10).
[[noreturn]] void RaiseAtMarker(CodecContext* context);

// A look-ahead at or above a table's limit matches no code (category 12).
[[noreturn]] void RaiseBadCode(CodecContext* context);

inline BitState LoadBits(const CodecContext* context) { return BitState{context->bitBuffer, context->bitCount}; }

inline void StoreBits(CodecContext* context, const BitState& bits) {
    context->bitBuffer = bits.buffer;
    context->bitCount = bits.count;
}

// Appends data bytes one at a time until more than 56 bits are buffered or a marker (or the end of
// the data) stops the reading: plain bytes straight from the source's buffer, 0xFF the long way.
// Taking and answering the state by value keeps a caller's state in registers.
BitState Filled(CodecContext* context, BitState bits);

inline uint64_t ByteSwap64(uint64_t value) {
#if defined(__GNUC__) || defined(__clang__)
    return __builtin_bswap64(value);
#else
    value = ((value & 0x00FF00FF00FF00FFu) << 8) | ((value >> 8) & 0x00FF00FF00FF00FFu);
    value = ((value & 0x0000FFFF0000FFFFu) << 16) | ((value >> 16) & 0x0000FFFF0000FFFFu);
    return (value << 32) | (value >> 32);
#endif
}

// Fills as Filled does, several bytes at once while none of them is 0xFF.
KV_ALWAYS_INLINE void Fill(CodecContext* context, BitState& bits) {
    StreamBuffer* source = context->stream;
    const int byte = context->lookahead;
    if (bits.count <= 56 && source->count >= 8 && byte >= 0 && byte != 0xFF) {
        // n bytes go in: the look-ahead byte and the next n - 1 of the source, whose n-th byte
        // becomes the look-ahead; exactly what Filled does when none of them is 0xFF.
        const int n = (56 - bits.count) / 8 + 1;
        uint64_t next;
        std::memcpy(&next, source->buffer + source->index, sizeof next);
        if constexpr (std::endian::native == std::endian::little) next = ByteSwap64(next);
        // The bytes that go in (the top n - 1 of `next`) hold no 0xFF: no zero byte in ~next there.
        // Borrows only run upwards from a true zero byte, so a false alarm costs the slow way, never
        // a wrong byte.
        const uint64_t inverted = ~next;
        const uint64_t zeroBytes = (inverted - 0x0101010101010101u) & ~inverted & 0x8080808080808080u;
        const uint64_t taken = n == 1 ? 0 : ~uint64_t{0} << (64 - 8 * (n - 1));
        if ((zeroBytes & taken) == 0) {
            // The look-ahead byte, then the top n - 1 bytes of next (and below them bits that the
            // mask clears), placed right below the valid bits.
            const uint64_t incoming = (static_cast<uint64_t>(byte) << 56) | ((next >> 8) & (taken >> 8));
            bits.buffer |= incoming >> bits.count;
            bits.count += 8 * n;
            context->lookahead = static_cast<int>((next >> (56 - 8 * (n - 1))) & 0xFF);
            source->index += n;
            source->count -= n;
            return;
        }
    }
    bits = Filled(context, bits);
}

// The next n (1..16) bits, zero-padded when fewer are buffered.
[[gnu::always_inline]] inline uint32_t Peek(const BitState& bits, int n) {
    return static_cast<uint32_t>(bits.buffer >> (64 - n));
}

// Drops n (0..32) bits that are known to be buffered.
[[gnu::always_inline]] inline void Drop(BitState& bits, int n) {
    bits.buffer <<= n;
    bits.count -= n;
}

// Takes n (0..16) bits that must be real data.
[[gnu::always_inline]] inline uint32_t Take(CodecContext* context, BitState& bits, int n) {
    if (n > bits.count) {
        StoreBits(context, bits);
        RaiseAtMarker(context);
    }
    const auto value = static_cast<uint32_t>((bits.buffer >> 32) >> (32 - n));
    Drop(bits, n);
    return value;
}

// Takes n bits, filling first when fewer are buffered.
[[gnu::always_inline]] inline uint32_t TakeFilled(CodecContext* context, BitState& bits, int n) {
    if (bits.count < n) Fill(context, bits);
    return Take(context, bits, n);
}

// A difference or coefficient from its size category (1..16) and the bits that follow the code.
[[gnu::always_inline]] inline int32_t Extend(uint32_t raw, int size) {
    const auto value = static_cast<int32_t>(raw);
    return value >= (1 << (size - 1)) ? value : value + 1 - (1 << size);
}

// The code length for a 16-bit look-ahead, by the max-code search from `length`.
[[gnu::always_inline]] inline int SearchLength(CodecContext* context, const HuffmanTable* table, uint32_t look, int length) {
    if (static_cast<int32_t>(look) >= table->limit) RaiseBadCode(context);
    while (table->maxCode[length] < static_cast<int32_t>(look)) ++length;
    return length;
}

// Fills so that a code (at most 16 bits) and its value bits (at most 16) can follow.
[[gnu::always_inline]] inline void FillForSymbol(CodecContext* context, BitState& bits) {
    if (bits.count < 32) Fill(context, bits);
}

// Decodes a symbol by the max-code search (DC tables).
[[gnu::always_inline]] inline int DecodeDc(CodecContext* context, BitState& bits, const HuffmanTable* table) {
    FillForSymbol(context, bits);
    const uint32_t look = Peek(bits, 16);
    const int length = SearchLength(context, table, look, 1);
    Take(context, bits, length);
    return table->values[table->valueOffset[length] + static_cast<int32_t>(look >> (16 - length))];
}

// Decodes a symbol through the 7-bit look-ahead table, falling back to the search for longer codes
// (AC tables).
[[gnu::always_inline]] inline int DecodeAc(CodecContext* context, BitState& bits, const HuffmanTable* table) {
    FillForSymbol(context, bits);
    const uint16_t entry = table->lookahead[Peek(bits, 7)];
    if ((entry & 0xFF) < 16) {
        Take(context, bits, entry & 0xFF);
        return entry >> 8;
    }
    const uint32_t look = Peek(bits, 16);
    const int length = SearchLength(context, table, look, (entry & 0xFF) - 15);
    Take(context, bits, length);
    return table->values[table->valueOffset[length] + static_cast<int32_t>(look >> (16 - length))];
}

// The one-step table (HuffmanTable::fast), per 10-bit look-ahead: the bits to take (low 5 bits),
// whether the value came with the code (kFastWhole), the symbol (bits 8-15) and the value (signed,
// bits 16-31). Without kFastWhole the code alone is taken and the value bits follow it; an entry
// of 0 sends the decoder to the search. Symbols of size 0 take their code alone (an end-of-band
// run's bits are the caller's to read).
inline constexpr int32_t kFastWhole = 32;

// What a symbol decode hands back from out of line: the reader's state, the symbol and its value.
struct DecodedSymbol {
    BitState bits;
    int symbol;
    int32_t value;
};

// The next symbol and its value as DecodeSymbol answers them, every step checked against the bits
// buffered: for the rare symbol where fewer than 32 bits are buffered even after filling (the data
// ends, or a marker stands, within the next four bytes).
template <bool Ac, bool OneStep>
[[gnu::noinline]] DecodedSymbol DecodeSymbolChecked(CodecContext* context, BitState bits, const HuffmanTable* table) {
    const int32_t entry = OneStep ? table->fast[Peek(bits, kFastLookupBits)] : 0;
    if (entry & kFastWhole) {
        Take(context, bits, entry & 31);
        return {bits, (entry >> 8) & 0xFF, entry >> 16};
    }
    int symbol;
    if (entry != 0) {
        Take(context, bits, entry & 31);
        symbol = (entry >> 8) & 0xFF;
    } else {
        symbol = Ac ? DecodeAc(context, bits, table) : DecodeDc(context, bits, table);
    }
    const int size = symbol & 15;
    const int32_t value = size == 0 ? 0 : Extend(Take(context, bits, size), size);
    return {bits, symbol, value};
}

// The next symbol and the value its size category brings (0 for size 0). With OneStep (the table's
// one-step table is built, see PrepareScanTables) most take one table step and codes above 10 bits
// the search; without, every symbol goes through DecodeAc or DecodeDc. DC sizes are the symbols
// themselves. With 32 bits buffered a code (at most 16 bits) and its value bits (at most 16) are all
// there, so no step checks for more.
template <bool Ac, bool OneStep>
KV_ALWAYS_INLINE int DecodeSymbol(CodecContext* context, BitState& bits, const HuffmanTable* table, int32_t* value) {
    FillForSymbol(context, bits);
    if (bits.count < 32) [[unlikely]] {
        const DecodedSymbol decoded = DecodeSymbolChecked<Ac, OneStep>(context, bits, table);
        bits = decoded.bits;
        *value = decoded.value;
        return decoded.symbol;
    }
    const int32_t entry = OneStep ? table->fast[bits.buffer >> (64 - kFastLookupBits)] : 0;
    if (entry & kFastWhole) {
        Drop(bits, entry & 31);
        *value = entry >> 16;
        return (entry >> 8) & 0xFF;
    }
    int symbol;
    if (entry != 0) {
        Drop(bits, entry & 31);
        symbol = (entry >> 8) & 0xFF;
    } else {
        symbol = Ac ? DecodeAc(context, bits, table) : DecodeDc(context, bits, table);
    }
    const int size = symbol & 15;
    if (size == 0) {
        *value = 0;
    } else {
        *value = Extend(static_cast<uint32_t>(bits.buffer >> (64 - size)), size);
        Drop(bits, size);
    }
    return symbol;
}

}  // namespace kv::codec
