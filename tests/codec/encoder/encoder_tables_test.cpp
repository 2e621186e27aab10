// The encoder's fixed tables and the quality rules: every built-in Huffman table definition is a usable
// code (counts match values, no length over-committed, no value twice), and the base and minimum
// quantiser tables hold their known entries.
#include <set>

#include "codec/encoder/encoder_tables.h"
#include "tests/support/test_support.h"

using namespace kv::codec;

namespace {

// Whether BITS leave at least one code free at every length (so the all-ones code is never used).
bool LeavesACodeFree(const uint8_t* bits) {
    int32_t free = 2;
    for (int l = 0; l < 16; ++l) {
        free -= bits[l];
        if (free < 1) return false;
        free *= 2;
    }
    return true;
}

int Total(const uint8_t* bits) {
    int total = 0;
    for (int l = 0; l < 16; ++l) total += bits[l];
    return total;
}

TEST(EncoderTables, DcDefinitionsCodeEveryCategoryOnce) {
    for (const DcTableDef& definition : DefaultDcSpecs) {
        EXPECT_EQ(Total(definition.bits), 12);
        EXPECT_TRUE(LeavesACodeFree(definition.bits));
        EXPECT_EQ(std::set<int>(definition.values, definition.values + 12), (std::set<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}));
    }
    EXPECT_EQ(DefaultDcSpecs[4].values[0], 4);
    EXPECT_EQ(DefaultDcSpecs[6].values[11], 11);
}

TEST(EncoderTables, AcDefinitionsAreUsableCodes) {
    const int counts[10] = {98, 91, 114, 111, 162, 162, 162, 162, 162, 162};
    for (int i = 0; i < 10; ++i) {
        const AcTableDef& definition = DefaultAcSpecs[i];
        EXPECT_EQ(definition.count, counts[i]) << "table " << i;
        EXPECT_EQ(Total(definition.bits), definition.count) << "table " << i;
        EXPECT_TRUE(LeavesACodeFree(definition.bits)) << "table " << i;
        const std::set<int> values(definition.values, definition.values + definition.count);
        EXPECT_EQ(values.size(), static_cast<std::size_t>(definition.count)) << "a value twice in " << i;
        for (int value : values) {
            EXPECT_LT(value & 15, 11) << "table " << i;
            if ((value & 15) == 0) {
                EXPECT_TRUE(value == 0x00 || value == 0xF0) << "table " << i;
            }
        }
        EXPECT_TRUE(values.count(0x00) && values.count(0xF0)) << "EOB and ZRL in " << i;
    }
    // Ends of the long value strings, where a slip in copying would show.
    EXPECT_EQ(DefaultAcSpecs[0].values[97], 0xF6);
    EXPECT_EQ(DefaultAcSpecs[1].values[90], 0x86);
    EXPECT_EQ(DefaultAcSpecs[2].values[113], 0xF7);
    EXPECT_EQ(DefaultAcSpecs[3].values[110], 0xC7);
    for (int i = 4; i < 10; ++i) EXPECT_EQ(DefaultAcSpecs[i].values[161], 0xFA) << "table " << i;
}

TEST(EncoderTables, BaseAndMinimumTablesHoldTheirKnownEntries) {
    for (int k = 0; k < 64; ++k) {
        EXPECT_EQ(QuantBaseTables[0][k], QuantBaseTables[5][k]);
        EXPECT_EQ(QuantBaseTables[1][k], QuantBaseTables[2][k]);
    }
    EXPECT_EQ(QuantBaseTables[6][0], 16);
    EXPECT_EQ(QuantBaseTables[6][53], 92);
    EXPECT_EQ(QuantBaseTables[6][54], 103);
    EXPECT_EQ(QuantBaseTables[7][48], 88);
    EXPECT_EQ(QuantBaseTables[7][49], 103);
    EXPECT_EQ(QuantBaseTables[3][53], 88);
    EXPECT_EQ(QuantBaseTables[4][34], 88);
    EXPECT_EQ(QuantBaseTables[4][35], 103);
    EXPECT_EQ(QuantMinimumLuma[0], 255);
    EXPECT_EQ(QuantMinimumLuma[35], 17);
    EXPECT_EQ(QuantMinimumChroma[1], 59);
    EXPECT_EQ(QuantMinimumChroma[63], 12);
}

// The worked examples of each quality's stored quantisers are checked in the files written through
// the module; here the one rule no stored table shows: the gentle rise of the DC term above scale 1
// applies to position 0 alone.
TEST(EncoderTables, OnlyTheDcTermRisesGentlyAboveScaleOne) {
    EXPECT_EQ(ScaleQuantiser(16, 0, 1.5f, 94), 20);
    EXPECT_EQ(ScaleQuantiser(16, 1, 1.5f, 94), 24);
    EXPECT_EQ(ScaleQuantiser(16, 0, 1.0f, 94), 16);
}

}  // namespace
