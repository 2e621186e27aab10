// What the codec's vector code shares: whether SSE2 is there (and AVX2, at run time), the
// forced-inline and unroll markers, and the transforms' value types (plain 32-bit values, or four
// 32-bit lanes) with their wrap-around sums and arithmetic shifts. Every file with an SSE2 or AVX2
// path keeps a portable one beside it that computes the same values.
#pragma once

#include <cstdint>
#include <cstdlib>

#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#define KV_SSE2 1
#include <emmintrin.h>
#else
#define KV_SSE2 0
#endif

// AVX2 code is compiled into functions of its own (KV_TARGET_AVX2) and chosen at run time (HasAvx2),
// where the compiler offers both: GCC and Clang on x86, MinGW included. Those functions may also use
// BMI2 (shifts by a register without the count in CL), which every AVX2 processor has; HasAvx2 asks
// for both.
#if (defined(__GNUC__) || defined(__clang__)) && (defined(__x86_64__) || defined(__i386__)) && KV_SSE2
#define KV_AVX2 1
#define KV_TARGET_AVX2 __attribute__((target("avx2,bmi,bmi2")))
#include <immintrin.h>
#else
#define KV_AVX2 0
#endif

#if defined(__GNUC__) || defined(__clang__)
#define KV_ALWAYS_INLINE [[gnu::always_inline]] inline
#elif defined(_MSC_VER)
#define KV_ALWAYS_INLINE __forceinline
#else
#define KV_ALWAYS_INLINE inline
#endif

// Unrolls the short fixed loops (at most 16 passes) whose vectors should stay in registers rather
// than arrays.
#if defined(__clang__)
#define KV_UNROLL _Pragma("unroll")
#elif defined(__GNUC__)
#define KV_UNROLL _Pragma("GCC unroll 16")
#else
#define KV_UNROLL
#endif

namespace kv::codec::simd {

// The transforms' values travel as uint32_t so that every sum wraps around in 32 bits; this shifts one
// right as the signed value it stands for.
template <int Bits>
KV_ALWAYS_INLINE uint32_t Sar(uint32_t value) {
    return static_cast<uint32_t>(static_cast<int32_t>(value) >> Bits);
}

#if KV_AVX2
// Whether to run AVX2 code: the processor has it (and BMI2) and the environment variable KV_NO_AVX2
// is not set (the tests set it to run the SSE2 paths on an AVX2 machine); asked once.
inline bool HasAvx2() {
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0 && __builtin_cpu_supports("bmi2") != 0 &&
               std::getenv("KV_NO_AVX2") == nullptr;
    }();
    return has;
}

// AVX-512 with 16-bit lanes and byte permutes across the whole register (F, BW, VL, VBMI), for the
// kernels that gain from 64-byte vectors, in functions of their own chosen at run time by
// HasAvx512: the processor has it, AVX2 is on, and the environment variable KV_NO_AVX512 is not set
// (the tests set it to run the AVX2 forms on an AVX-512 machine).
#define KV_TARGET_AVX512 __attribute__((target("avx2,bmi,bmi2,avx512f,avx512bw,avx512vl,avx512vbmi")))
inline bool HasAvx512() {
    static const bool has = [] {
        __builtin_cpu_init();
        return HasAvx2() && __builtin_cpu_supports("avx512f") != 0 && __builtin_cpu_supports("avx512bw") != 0 &&
               __builtin_cpu_supports("avx512vl") != 0 && __builtin_cpu_supports("avx512vbmi") != 0 &&
               std::getenv("KV_NO_AVX512") == nullptr;
    }();
    return has;
}

// Transposes an 8x8 square of 32-bit values: in[r] lane j becomes out[j] lane r.
// Every input is read before any output is written, so in and out may be the same.
KV_ALWAYS_INLINE KV_TARGET_AVX2 void Transpose8x32(const __m256i* in, __m256i* out) {
    const __m256i a0 = _mm256_unpacklo_epi32(in[0], in[1]), a1 = _mm256_unpackhi_epi32(in[0], in[1]);
    const __m256i a2 = _mm256_unpacklo_epi32(in[2], in[3]), a3 = _mm256_unpackhi_epi32(in[2], in[3]);
    const __m256i a4 = _mm256_unpacklo_epi32(in[4], in[5]), a5 = _mm256_unpackhi_epi32(in[4], in[5]);
    const __m256i a6 = _mm256_unpacklo_epi32(in[6], in[7]), a7 = _mm256_unpackhi_epi32(in[6], in[7]);
    const __m256i b0 = _mm256_unpacklo_epi64(a0, a2), b1 = _mm256_unpackhi_epi64(a0, a2);
    const __m256i b2 = _mm256_unpacklo_epi64(a1, a3), b3 = _mm256_unpackhi_epi64(a1, a3);
    const __m256i b4 = _mm256_unpacklo_epi64(a4, a6), b5 = _mm256_unpackhi_epi64(a4, a6);
    const __m256i b6 = _mm256_unpacklo_epi64(a5, a7), b7 = _mm256_unpackhi_epi64(a5, a7);
    // b0: lanes 0 of rows 0..3 | lanes 4 of rows 0..3; b4 the same of rows 4..7.
    out[0] = _mm256_permute2x128_si256(b0, b4, 0x20);
    out[1] = _mm256_permute2x128_si256(b1, b5, 0x20);
    out[2] = _mm256_permute2x128_si256(b2, b6, 0x20);
    out[3] = _mm256_permute2x128_si256(b3, b7, 0x20);
    out[4] = _mm256_permute2x128_si256(b0, b4, 0x31);
    out[5] = _mm256_permute2x128_si256(b1, b5, 0x31);
    out[6] = _mm256_permute2x128_si256(b2, b6, 0x31);
    out[7] = _mm256_permute2x128_si256(b3, b7, 0x31);
}

// Transpose8x32 of two squares side by side (AVX-512): the low 256 bits of in[0..7] hold one square,
// the high 256 bits the other, and so do those of out. in and out may be the same.
KV_ALWAYS_INLINE KV_TARGET_AVX512 void Transpose8x32Pairs(const __m512i* in, __m512i* out) {
    const __m512i a0 = _mm512_unpacklo_epi32(in[0], in[1]), a1 = _mm512_unpackhi_epi32(in[0], in[1]);
    const __m512i a2 = _mm512_unpacklo_epi32(in[2], in[3]), a3 = _mm512_unpackhi_epi32(in[2], in[3]);
    const __m512i a4 = _mm512_unpacklo_epi32(in[4], in[5]), a5 = _mm512_unpackhi_epi32(in[4], in[5]);
    const __m512i a6 = _mm512_unpacklo_epi32(in[6], in[7]), a7 = _mm512_unpackhi_epi32(in[6], in[7]);
    const __m512i b0 = _mm512_unpacklo_epi64(a0, a2), b1 = _mm512_unpackhi_epi64(a0, a2);
    const __m512i b2 = _mm512_unpacklo_epi64(a1, a3), b3 = _mm512_unpackhi_epi64(a1, a3);
    const __m512i b4 = _mm512_unpacklo_epi64(a4, a6), b5 = _mm512_unpackhi_epi64(a4, a6);
    const __m512i b6 = _mm512_unpacklo_epi64(a5, a7), b7 = _mm512_unpackhi_epi64(a5, a7);
    // As in Transpose8x32, per square: the first 128 bits of b0 and b4 make out[0], the second out[4].
    const __m512i first = _mm512_setr_epi64(0, 1, 8, 9, 4, 5, 12, 13);
    const __m512i second = _mm512_setr_epi64(2, 3, 10, 11, 6, 7, 14, 15);
    out[0] = _mm512_permutex2var_epi64(b0, first, b4);
    out[1] = _mm512_permutex2var_epi64(b1, first, b5);
    out[2] = _mm512_permutex2var_epi64(b2, first, b6);
    out[3] = _mm512_permutex2var_epi64(b3, first, b7);
    out[4] = _mm512_permutex2var_epi64(b0, second, b4);
    out[5] = _mm512_permutex2var_epi64(b1, second, b5);
    out[6] = _mm512_permutex2var_epi64(b2, second, b6);
    out[7] = _mm512_permutex2var_epi64(b3, second, b7);
}
#endif

#if KV_SSE2
// Four values side by side, one per 32-bit lane; sums wrap around in 32 bits and shifts are
// arithmetic, exactly as for the uint32_t values above.
struct Lanes {
    __m128i v;
};
KV_ALWAYS_INLINE Lanes operator+(Lanes a, Lanes b) { return {_mm_add_epi32(a.v, b.v)}; }
KV_ALWAYS_INLINE Lanes operator-(Lanes a, Lanes b) { return {_mm_sub_epi32(a.v, b.v)}; }
template <int Bits>
KV_ALWAYS_INLINE Lanes Sar(Lanes value) {
    return {_mm_srai_epi32(value.v, Bits)};
}
#endif

// Bit k set: cell k (0..last) of a block of 64 cells (bytes or 16-bit values) is not 0.
template <typename Cell>
KV_ALWAYS_INLINE uint64_t NonzeroCells(const Cell* cells, int last) {
    const uint64_t wanted = last == 63 ? ~uint64_t{0} : (uint64_t{2} << last) - 1;
#if KV_SSE2
    const __m128i zeros = _mm_setzero_si128();
    uint64_t zero = 0;
    if constexpr (sizeof(Cell) == 1) {
        KV_UNROLL
        for (int k = 0; k < 64; k += 16) {
            const __m128i values = _mm_loadu_si128(reinterpret_cast<const __m128i*>(cells + k));
            zero |= static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(values, zeros)))) << k;
        }
    } else {
        KV_UNROLL
        for (int k = 0; k < 64; k += 16) {
            const __m128i low = _mm_cmpeq_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(cells + k)), zeros);
            const __m128i high = _mm_cmpeq_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(cells + k + 8)), zeros);
            zero |= static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(_mm_packs_epi16(low, high)))) << k;
        }
    }
    return ~zero & wanted;
#else
    uint64_t nonzero = 0;
    for (int k = 0; k <= last; ++k) nonzero |= static_cast<uint64_t>(cells[k] != 0) << k;
    return nonzero & wanted;
#endif
}

}  // namespace kv::codec::simd
