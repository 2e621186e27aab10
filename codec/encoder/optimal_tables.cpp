// Optimal Huffman tables: the statistics a counting pass gathers become, per table slot, a code of
// at most 16 bits per symbol that never uses the all-ones code. Input: 32-bit symbol counts; output:
// Huffman table definitions installed in the context's slots.
#include "codec/encoder/optimal_tables.h"

#include <cstring>

#include "codec/codec_errors.h"

namespace kv::codec {

namespace {

constexpr int kDcHighest = 12;
constexpr int kAcHighest = 176;
constexpr int kLongestSize = 48;
constexpr uint64_t kHalvingLimit = uint64_t{1} << 31;

}  // namespace

void PrepareStatistics(CodecContext* context) {
    for (int slot = 0; slot < kMaxHuffmanTables; ++slot) {
        for (uint32_t& count : context->dcCounts[slot]) count = 0;
        for (uint32_t& count : context->acCounts[slot]) count = 0;
        if (context->process != FrameProcess::progressive) {
            // End-of-band runs exist only in progressive scans.
            for (int r = 1; r <= 14; ++r) context->acCounts[slot][r] = 0;
        }
        context->dcCounts[slot][kDcHighest] = 1;
        context->acCounts[slot][kAcHighest] = 1;
    }
}

int BuildOptimalTable(CodecContext* context, int highest, const uint32_t* counts, uint8_t* bits, uint8_t* values) {
    uint64_t frequency[kAcHighest + 1];
    int codeSize[kAcHighest + 1];
    int chain[kAcHighest + 1];
    int used = 0;
    for (int i = 0; i <= highest; ++i) {
        if (counts[i] > INT32_MAX) CodecRaise(context, categoryBadHuffmanTable, messageCountOverflow);
        frequency[i] = counts[i];
        if (frequency[i] != 0) ++used;
        codeSize[i] = 0;
        chain[i] = -1;
    }
    if (used - 1 > kMaxAcValuesProgressive) CodecBug();

    for (;;) {
        // The two smallest nonzero frequencies; among equals the higher index ranks smaller.
        int c1 = -1;
        int c2 = -1;
        for (int i = highest; i >= 0; --i) {
            if (frequency[i] == 0) continue;
            if (c1 < 0 || frequency[i] < frequency[c1]) {
                c2 = c1;
                c1 = i;
            } else if (c2 < 0 || frequency[i] < frequency[c2]) {
                c2 = i;
            }
        }
        if (c2 < 0) break;
        if (frequency[c2] > kHalvingLimit) {
            for (int i = 0; i <= highest; ++i) frequency[i] = (frequency[i] + 1) / 2;
        }
        // The second smallest carries the merged frequency; both chains grow one bit longer.
        frequency[c2] += frequency[c1];
        frequency[c1] = 0;
        int tail = c2;
        ++codeSize[tail];
        while (chain[tail] >= 0) {
            tail = chain[tail];
            ++codeSize[tail];
        }
        chain[tail] = c1;
        for (int i = c1; i >= 0; i = chain[i]) ++codeSize[i];
    }

    int count[kLongestSize + 1];
    std::memset(count, 0, sizeof count);
    int longest = 0;
    for (int i = 0; i <= highest; ++i) {
        if (codeSize[i] == 0) continue;
        if (codeSize[i] > kLongestSize - 1) CodecBug();
        ++count[codeSize[i]];
        if (codeSize[i] > longest) longest = codeSize[i];
    }
    // Codes longer than 16 bits: a pair at length i moves up to i - 1, and a shorter code splits to
    // make room for the second one.
    for (int i = longest; i > 16; --i) {
        while (count[i] >= 2) {
            count[i] -= 2;
            count[i - 1] += 1;
            int j = i - 2;
            while (j > 0 && count[j] == 0) --j;
            count[j + 1] += 2;
            count[j] -= 1;
        }
        if (count[i] != 0) CodecBug();
    }
    // The reserved entry gives up its code, the longest.
    int last = 16;
    while (last > 0 && count[last] == 0) --last;
    if (last > 0) --count[last];
    for (int l = 1; l <= 16; ++l) bits[l] = static_cast<uint8_t>(count[l]);

    int placed = 0;
    for (int size = 1; size <= longest; ++size) {
        for (int i = 0; i < highest; ++i) {
            if (codeSize[i] != size) continue;
            if (highest == kDcHighest) {
                values[placed++] = static_cast<uint8_t>(i);
            } else {
                values[placed++] = static_cast<uint8_t>(i >= 16 ? (i & 15) * 16 + (i >> 4) : i * 16);
            }
        }
    }
    if (placed != used - 1) CodecBug();
    return placed;
}

void InstallOptimalTables(CodecContext* context) {
    for (int j = 0; j < context->dcTableCount; ++j) {
        HuffmanTable& table = context->dcTables[j];
        std::memset(table.bits, 0, sizeof table.bits);
        table.valueCount = BuildOptimalTable(context, kDcHighest, context->dcCounts[j], table.bits, table.values);
        table.defined = 1;
    }
    for (int j = 0; j < context->acTableCount; ++j) {
        HuffmanTable& table = context->acTables[j];
        std::memset(table.bits, 0, sizeof table.bits);
        table.valueCount = BuildOptimalTable(context, kAcHighest, context->acCounts[j], table.bits, table.values);
        table.defined = 1;
    }
    context->optimalInstalled = 1;
    context->statisticsPass = 0;
}

}  // namespace kv::codec
