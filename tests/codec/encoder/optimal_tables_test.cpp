// Optimal table construction against hand-worked counts: ties, the reserved entry, the 16-bit limit
// and the order of the values.
#include <vector>

#include <csetjmp>

#include "codec/codec_errors.h"
#include "codec/encoder/optimal_tables.h"
#include "tests/support/test_support.h"

using namespace kv::codec;

namespace {

struct Built {
    std::vector<int> bits;  // lengths 1..16
    std::vector<int> values;
};

Built Build(int highest, const std::vector<std::pair<int, uint32_t>>& nonzero) {
    CodecContext context{};
    std::vector<uint32_t> counts(static_cast<std::size_t>(highest) + 1, 0);
    for (const auto& [index, count] : nonzero) counts[static_cast<std::size_t>(index)] = count;
    counts[static_cast<std::size_t>(highest)] = 1;  // the reserved entry
    uint8_t bits[17] = {};
    uint8_t values[176] = {};
    const int placed = BuildOptimalTable(&context, highest, counts.data(), bits, values);
    Built built;
    for (int l = 1; l <= 16; ++l) built.bits.push_back(bits[l]);
    built.values.assign(values, values + placed);
    return built;
}

TEST(OptimalTables, DcOnlyImageGetsOneCodeForEob) {
    const Built ac = Build(176, {{0, 5000}});
    EXPECT_EQ(ac.bits, (std::vector<int>{1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(ac.values, (std::vector<int>{0x00}));
    const Built empty = Build(12, {});
    EXPECT_EQ(empty.bits, std::vector<int>(16, 0));
    EXPECT_TRUE(empty.values.empty());
}

TEST(OptimalTables, HandWorkedDcTable) {
    // Counts 0:8 1:4 2:2 3:1 and the reserved 1. Merges: (12,3) -> 3 carries 2; (2,3) -> 3 carries 4;
    // (1,3) -> 3 carries 8; (0,3) last. Sizes: 0:1, 1:2, 2:3, 3:4, reserved 4 -> removed.
    const Built dc = Build(12, {{0, 8}, {1, 4}, {2, 2}, {3, 1}});
    EXPECT_EQ(dc.bits, (std::vector<int>{1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(dc.values, (std::vector<int>{0, 1, 2, 3}));
}

TEST(OptimalTables, EqualCountsRankTheHigherIndexSmaller) {
    // 5 and 7 tie at 3; 7, met first scanning down, is merged into 5 with the reserved entry first.
    const Built dc = Build(12, {{5, 3}, {7, 3}, {2, 10}});
    EXPECT_EQ(dc.values.size(), 3u);
    EXPECT_EQ(dc.values.front(), 2) << "the most frequent has the shortest code";
    EXPECT_EQ(dc.bits[0], 1);
}

TEST(OptimalTables, LongCodesAreLimitedToSixteenBits) {
    // Fibonacci counts make a maximally skewed tree, far deeper than 16.
    std::vector<std::pair<int, uint32_t>> counts;
    uint32_t a = 1;
    uint32_t b = 1;
    for (int i = 0; i < 30; ++i) {
        counts.push_back({16 + i, a});
        const uint32_t next = a + b;
        a = b;
        b = next;
    }
    const Built ac = Build(176, counts);
    int total = 0;
    uint32_t kraft = 0;  // sum of 2^(16 - length), must leave the all-ones code free
    for (int l = 1; l <= 16; ++l) {
        total += ac.bits[static_cast<std::size_t>(l - 1)];
        kraft += static_cast<uint32_t>(ac.bits[static_cast<std::size_t>(l - 1)]) << (16 - l);
    }
    EXPECT_EQ(total, 30);
    EXPECT_LT(kraft, 65536u);
    // AC values come as run x 16 + size for index size x 16 + run: the shortest code belongs to one
    // of the two most frequent indices, 44 (size 2, run 12) or 45 (size 2, run 13).
    EXPECT_TRUE(ac.values.front() == 0xC2 || ac.values.front() == 0xD2) << ac.values.front();
}

// Builds a table with the jump point armed in this frame alone, so that the caller's context,
// which the raise writes into, is read back with a defined value; answers the raised category, or 0.
int BuildRaising(CodecContext* context, const uint32_t* counts, uint8_t* bits, uint8_t* values) {
    if (int category = setjmp(codecJumpPoint)) return category;
    BuildOptimalTable(context, 12, counts, bits, values);
    return 0;
}

TEST(OptimalTables, CountsPastTheSignedRangeAreRefused) {
    CodecContext context{};
    std::vector<uint32_t> counts(13, 0);
    counts[0] = 0x80000000u;
    counts[12] = 1;
    uint8_t bits[17] = {};
    uint8_t values[176] = {};
    EXPECT_EQ(BuildRaising(&context, counts.data(), bits, values), 16);
    EXPECT_EQ(context.errorMessage, 53);
}

}  // namespace
