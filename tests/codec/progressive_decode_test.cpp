// Progressive streams made by hand: what a DC-only image decodes to, the refusals between and
// inside scans, and out-of-memory while the coefficient planes are made.
#include <vector>

#include "tests/codec/decoder_harness.h"
#include "tests/support/jpeg_builder.h"

using namespace kv::codec;
using namespace kv::shell;

namespace {

using testing_support::DecoderHarness;
using testing_support::JpegBuilder;

using ProgressiveDecodeTest = testing_support::HostMemoryTest;

// One code of length 1 for `symbol`.
std::vector<uint8_t> OneCode() {
    std::vector<uint8_t> bits(16, 0);
    bits[0] = 1;
    return bits;
}

// SOI, an 8-bit table of 16s, a 16x8 grey SOF2 and a DC first scan whose two blocks have the DC
// differences +3 and -3 (category 2: codes "0" then bits 11 and 00), Al = 1.
JpegBuilder DcOnlyStart() {
    JpegBuilder b;
    b.Soi().Dqt(0, 16).Sof(0xC2, 16, 8, {{1, 1, 1, 0}});
    b.Dht(0, 0, OneCode(), {0x02});
    b.Sos({{1, 0, 0}}, 0, 0, 0, 1);
    b.Raw({0b01100011});  // 0 11 | 0 00 | padding 11
    return b;
}

TEST_F(ProgressiveDecodeTest, DcOnlyImageIsBlocksOfTheirDcValue) {
    JpegBuilder b = DcOnlyStart();
    b.Eoi();
    DecoderHarness harness(b.Bytes());
    int first = -1;
    ASSERT_EQ(harness.Header(&first), 0);
    EXPECT_EQ(first, 0) << "the header phase goes on to EOI";
    EXPECT_EQ(harness.Context()->scansCompleted, 1);
    std::vector<std::vector<uint8_t>> rows;
    ASSERT_EQ(harness.Rows(&rows), 0);
    ASSERT_EQ(rows.size(), 8u);
    // DC 3 x 2 (Al) = 6, dequantised x 16 = 96, one eighth of it per sample: 128 + 12 and 128 + 0.
    for (const auto& row : rows) {
        for (int x = 0; x < 8; ++x) EXPECT_EQ(row[x], 140);
        for (int x = 8; x < 16; ++x) EXPECT_EQ(row[x], 128);
    }
}

TEST_F(ProgressiveDecodeTest, TablesBetweenScansAndTheirLimits) {
    // A DHT between scans is taken for the following scans.
    JpegBuilder dht = DcOnlyStart();
    dht.Dht(1, 0, OneCode(), {0x00}).Sos({{1, 0, 0}}, 1, 63, 0, 0).Raw({0x3F}).Eoi();  // two EOBs
    DecoderHarness accepted(dht.Bytes());
    EXPECT_EQ(accepted.Header(), 0);
    EXPECT_EQ(accepted.Context()->scansCompleted, 2);

    JpegBuilder dqt = DcOnlyStart();
    dqt.Dqt(0, 16).Eoi();
    DecoderHarness refusedDqt(dqt.Bytes());
    EXPECT_EQ(refusedDqt.Header(), categoryBadData);
    EXPECT_EQ(refusedDqt.Message(), 38);

    JpegBuilder appe = DcOnlyStart();
    appe.App(14, std::vector<uint8_t>{'N', 'u', 'r', 'v', 'o', 0, 100, 0, 0, 0, 0, 0}).Eoi();
    DecoderHarness refusedAppe(appe.Bytes());
    EXPECT_EQ(refusedAppe.Header(), categoryBadData);
    EXPECT_EQ(refusedAppe.Message(), 23);
}

TEST_F(ProgressiveDecodeTest, ScanParametersAreChecked) {
    const struct {
        const char* name;
        int ss, se, ah, al;
        int message;
    } cases[] = {
        {"Se past 63", 1, 64, 0, 0, 35},      {"Se before Ss", 5, 4, 0, 0, 35},
        {"DC with AC band", 0, 5, 0, 0, 35},  {"Al above 11", 1, 63, 0, 12, 35},
        {"Ah not above Al", 1, 63, 2, 2, 35},
    };
    for (const auto& c : cases) {
        JpegBuilder b;
        b.Soi().Dqt(0).Sof(0xC2, 8, 8, {{1, 1, 1, 0}}).FlatDht(0).Sos({{1, 0, 0}}, c.ss, c.se, c.ah, c.al).Eoi();
        DecoderHarness harness(b.Bytes());
        EXPECT_EQ(harness.Header(), categoryBadData) << c.name;
        EXPECT_EQ(harness.Message(), c.message) << c.name;
    }
    JpegBuilder twoInAc;
    twoInAc.Soi().Dqt(0).Sof(0xC2, 8, 8, {{1, 1, 1, 0}, {2, 1, 1, 0}, {3, 1, 1, 0}}).FlatDht(0);
    twoInAc.Sos({{1, 0, 0}, {2, 0, 0}}, 1, 63, 0, 0).Eoi();
    DecoderHarness harness(twoInAc.Bytes());
    EXPECT_EQ(harness.Header(), categoryBadData);
    EXPECT_EQ(harness.Message(), 34);
}

TEST_F(ProgressiveDecodeTest, RefinementRunPastTheBandIsRefused) {
    // A ZRL in a refinement scan of band 1..5 walks over sixteen zero cells: past Se.
    JpegBuilder b = DcOnlyStart();
    b.Dht(1, 0, OneCode(), {0xF0}).Sos({{1, 0, 0}}, 1, 5, 1, 0).Raw({0x7F}).Eoi();
    DecoderHarness harness(b.Bytes());
    EXPECT_EQ(harness.Header(), categoryBadData);
    EXPECT_EQ(harness.Message(), 6);
}

TEST_F(ProgressiveDecodeTest, FirstScanRunPastTheBandEndsTheBlockQuietly) {
    // (run 15, size 1) from k = 0 lands on 16 in a band of 1..5: the block ends at Se, no error.
    JpegBuilder b = DcOnlyStart();
    b.Dht(1, 0, OneCode(), {0xF1}).Sos({{1, 0, 0}}, 1, 5, 0, 0).Raw({0x5F}).Eoi();  // 0 1 | 0 1 | 1111
    DecoderHarness harness(b.Bytes());
    ASSERT_EQ(harness.Header(), 0);
    std::vector<std::vector<uint8_t>> rows;
    EXPECT_EQ(harness.Rows(&rows), 0);
}

TEST_F(ProgressiveDecodeTest, NoMemoryForThePlanesIsOutOfMemory) {
    JpegBuilder b = DcOnlyStart();
    b.Eoi();
    DecoderHarness harness(b.Bytes());
    Host().FailAllocation(1);  // the work block is the first allocation of the decode
    EXPECT_EQ(harness.Header(), categoryNoMemory);
    EXPECT_EQ(harness.Message(), 0);
}

}  // namespace
