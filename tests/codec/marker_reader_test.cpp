// The marker reader and the progressive decoder on small crafted streams: what they accept and
// store, what a DC-only image decodes to, and every refusal with its category and message, between
// and inside scans too. Each refusal is named after the fault it carries.
#include <cstring>
#include <string>
#include <vector>

#include "tests/codec/decoder_harness.h"
#include "tests/support/jpeg_builder.h"

using namespace kv::codec;
using namespace kv::shell;

namespace {

using testing_support::DecoderHarness;
using testing_support::FrameComponent;
using testing_support::JpegBuilder;

using MarkerReaderTest = testing_support::HostMemoryTest;

constexpr FrameComponent kGrey = {1, 1, 1, 0};

struct Refusal {
    const char* name;
    std::vector<uint8_t> bytes;
    int category;
    int message;
};

std::vector<uint8_t> Concat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A flat grey frame's tables and SOF, after SOI.
JpegBuilder GreyHeader(int sofCode = 0xC0) {
    JpegBuilder b;
    b.Soi().Dqt(0).Sof(sofCode, 8, 8, {kGrey}).FlatDht(0);
    return b;
}

// One code of length 1.
std::vector<uint8_t> OneCode() {
    std::vector<uint8_t> bits(16, 0);
    bits[0] = 1;
    return bits;
}

// SOI, an 8-bit table of 16s, a 16x8 grey SOF2 and a DC first scan whose two blocks have the DC
// differences +3 and -3 (category 2: codes "0" then bits 11 and 00), Al = 1.
JpegBuilder DcOnlyStart() {
    JpegBuilder b;
    b.Soi().Dqt(0, 16).Sof(0xC2, 16, 8, {kGrey});
    b.Dht(0, 0, OneCode(), {0x02});
    b.Sos({{1, 0, 0}}, 0, 0, 0, 1);
    b.Raw({0b01100011});  // 0 11 | 0 00 | padding 11
    return b;
}

std::vector<uint8_t> Appe(int transform) {
    return {'N', 'u', 'r', 'v', 'o', 0, 100, 0, 0, 0, 0, static_cast<uint8_t>(transform)};
}

TEST_F(MarkerReaderTest, KeptMarkersAndAppeFieldsAreStored) {
    JpegBuilder b;
    b.Soi().App(0, std::string("JFIF\0\1\2\0\0\x48\0\x48\0\0", 14)).Raw({0x12, 0x34, 0xFF, 0xFF});  // junk, then fill
    // APPE: identifier, version 100, flags 0x00010002, transform 0, a scan directory and a caption.
    std::vector<uint8_t> appe = {'N', 'u', 'r', 'v', 'o', 0, 100, 0, 1, 0, 2, 0};
    appe.insert(appe.end(), {3, 0, 11, 2, 1, 2, 0, 0, 0, 10, 0, 0, 1, 0});  // tag 3: 2 entries
    appe.insert(appe.end(), {4, 0, 5, 'h', 'e', 'l', 'l', 'o'});            // tag 4: caption
    appe.insert(appe.end(), {1, 2, 0});                                     // under 4 bytes: skipped
    b.App(14, appe).Segment(0xFE, {'h', 'i'}).Raw({0xFF, 0xD3});              // comment, stray RST3
    b.Dqt(0).Sof(0xC0, 8, 8, {kGrey}).FlatDht(0).Sos({{1, 0, 0}}).FlatBlocks(1).Eoi();
    DecoderHarness harness(b.Bytes());
    ASSERT_EQ(harness.Header(), 0);
    CodecContext* context = harness.Context();
    EXPECT_EQ(context->appeVersion, 100);
    EXPECT_EQ(context->appeFlags, 0x00010002u);
    EXPECT_EQ(context->colourTransform, 0);
    ASSERT_EQ(context->scanDirectoryCount, 2);
    EXPECT_EQ(context->scanDirectoryScans[0], 1);
    EXPECT_EQ(context->scanDirectoryScans[1], 2);
    EXPECT_EQ(context->scanDirectoryOffsets[0], 10u);
    EXPECT_EQ(context->scanDirectoryOffsets[1], 256u);
    ASSERT_NE(context->caption, nullptr);
    EXPECT_STREQ(context->caption, "hello");
    EXPECT_EQ(context->nextRestart, 4);
    // The APPE marker is parsed, not kept: APP0 and COM are, in file order, byte for byte.
    const MarkerRecord* app0 = context->markers;
    ASSERT_NE(app0, nullptr);
    EXPECT_EQ(app0->totalBytes, 18);
    EXPECT_EQ(std::vector<uint8_t>(app0->bytes, app0->bytes + 6), (std::vector<uint8_t>{0xFF, 0xE0, 0, 16, 'J', 'F'}));
    const MarkerRecord* comment = app0->next;
    ASSERT_NE(comment, nullptr);
    EXPECT_EQ(std::vector<uint8_t>(comment->bytes, comment->bytes + comment->totalBytes),
              (std::vector<uint8_t>{0xFF, 0xFE, 0, 4, 'h', 'i'}));
    EXPECT_EQ(comment->next, nullptr);
}

TEST_F(MarkerReaderTest, ShortOrForeignApp14IsAnOrdinaryMarkerAndOneComponentHasNoTransform) {
    JpegBuilder b;
    b.Soi().App(14, std::string("Nurvo\0\0", 7)).App(14, std::string("Other\0\0\0\0\0\0\0\0", 13)).Dqt(0);
    b.Sof(0xC0, 8, 8, {kGrey}).FlatDht(0).Sos({{1, 0, 0}}).FlatBlocks(1).Eoi();
    DecoderHarness harness(b.Bytes());
    ASSERT_EQ(harness.Header(), 0);
    int kept = 0;
    for (const MarkerRecord* m = harness.Context()->markers; m != nullptr; m = m->next) ++kept;
    EXPECT_EQ(kept, 2);
    EXPECT_EQ(harness.Context()->colourTransform, 0);
    // A transform of 1 is ignored for one component.
    DecoderHarness grey(JpegBuilder().Soi().App(14, Appe(1)).Dqt(0).Sof(0xC0, 8, 8, {kGrey}).FlatDht(0)
                            .Sos({{1, 0, 0}}).FlatBlocks(1).Eoi().Bytes());
    ASSERT_EQ(grey.Header(), 0);
    EXPECT_EQ(grey.Context()->colourTransform, 0);
}

// An APPE transform of 1 with four components is YCCK: mid-grey YCC is inverted to CMY 127 and K 128
// is delivered as stored, on the fast path when K is full size and on the generic path (which must
// not read one K sample per pixel) when it is stored at half width.
TEST_F(MarkerReaderTest, AppeTransformOneWithFourComponentsIsYcck) {
    const struct {
        int width, kWidth, blocks, colourPath;
    } cases[] = {{8, 1, 4, 4}, {16, 2, 5, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "K sampled " << c.kWidth << " across");
        JpegBuilder b;
        b.Soi().App(14, Appe(1)).Dqt(0).Sof(0xC0, c.width, 8, {{1, 1, 1, 0}, {2, 1, 1, 0}, {3, 1, 1, 0}, {4, c.kWidth, 1, 0}});
        b.FlatDht(0).Sos({{1, 0, 0}, {2, 0, 0}, {3, 0, 0}, {4, 0, 0}}).FlatBlocks(c.blocks).Eoi();
        DecoderHarness harness(b.Bytes());
        ASSERT_EQ(harness.Header(), 0);
        EXPECT_EQ(harness.Context()->colourTransform, 2);
        EXPECT_EQ(harness.Context()->colourPath, c.colourPath);
        EXPECT_TRUE(c.kWidth == 1 || harness.Context()->preciseColour == 0) << "the generic path is the 8-bit one";
        std::vector<std::vector<uint8_t>> rows;
        ASSERT_EQ(harness.Rows(&rows), 0);
        ASSERT_EQ(rows.size(), 8u);
        for (const std::vector<uint8_t>& row : {rows[0], rows[7]}) {
            for (int x = 0; x < c.width; ++x) {
                EXPECT_EQ(row[4 * x + 3], 128);
                for (int channel = 0; channel < 3; ++channel) EXPECT_NEAR(row[4 * x + channel], 127, 1);
            }
        }
    }
}

// Sampling factors summing to eleven blocks an MCU: refused in a baseline frame (see the refusals).
std::vector<uint8_t> ElevenBlockFrame(int code) {
    JpegBuilder b;
    b.Soi().Dqt(0).Sof(code, 16, 16, {{1, 3, 3, 0}, {2, 1, 1, 0}, {3, 1, 1, 0}}).FlatDht(0);
    b.Sos({{1, 0, 0}, {2, 0, 0}, {3, 0, 0}}).FlatBlocks(11).Eoi();
    return b.Bytes();
}

// What a baseline frame refuses (see the refusals), an extended frame reads: a sampling sum over
// ten, and Huffman table numbers 2 and 3.
TEST_F(MarkerReaderTest, AnExtendedFrameTakesElevenBlocksAndTablesTwoAndThree) {
    DecoderHarness eleven(ElevenBlockFrame(0xC1));
    ASSERT_EQ(eleven.Header(), 0);
    std::vector<std::vector<uint8_t>> rows;
    EXPECT_EQ(eleven.Rows(&rows), 0);
    EXPECT_EQ(rows.size(), 16u);
    const std::vector<uint8_t> bits = OneCode();
    DecoderHarness tables(JpegBuilder().Soi().Dqt(0).Sof(0xC1, 8, 8, {kGrey}).Dht(0, 3, bits, {0}).Dht(1, 2, bits, {0})
                              .Sos({{1, 3, 2}}).FlatBlocks(1).Eoi().Bytes());
    EXPECT_EQ(tables.Header(), 0);
}

TEST_F(MarkerReaderTest, AnyNonzeroPrecisionNibbleReadsSixteenBitQuantisers) {
    std::vector<uint8_t> dqt{0x20};  // precision nibble 2 reads as 16-bit
    for (int k = 0; k < 64; ++k) dqt.insert(dqt.end(), {0x01, static_cast<uint8_t>(k + 1)});
    JpegBuilder b;
    b.Soi().Segment(0xDB, dqt).Sof(0xC1, 8, 8, {kGrey}).FlatDht(0).Sos({{1, 0, 0}}).FlatBlocks(1).Eoi();
    DecoderHarness harness(b.Bytes());
    ASSERT_EQ(harness.Header(), 0);
    EXPECT_EQ(harness.Context()->quant[0].entries[0], 0x0101);
    EXPECT_EQ(harness.Context()->quant[0].entries[63], 0x0140);
    EXPECT_EQ(harness.Context()->quantTablesDefined, 1);
}

TEST_F(MarkerReaderTest, FourLineFlagNeedsTallLumaAndShortChroma) {
    const struct {
        const char* name;
        std::vector<FrameComponent> components;
        int transform;  // -1: no APPE marker
        int fourLine;
    } cases[] = {
        {"YCbCr V 4,1,1", {{1, 1, 4, 0}, {2, 1, 1, 0}, {3, 1, 1, 0}}, -1, 1},
        {"three components without transform", {{1, 1, 4, 0}, {2, 1, 1, 0}, {3, 1, 1, 0}}, 0, 1},
        {"two components V 4,1", {{1, 1, 4, 0}, {2, 1, 1, 0}}, -1, 1},
        {"chroma V 2", {{1, 1, 4, 0}, {2, 1, 2, 0}, {3, 1, 1, 0}}, -1, 0},
        {"second chroma V 2", {{1, 1, 4, 0}, {2, 1, 1, 0}, {3, 1, 2, 0}}, -1, 0},
        {"Vmax 2", {{1, 1, 2, 0}, {2, 1, 1, 0}, {3, 1, 1, 0}}, -1, 0},
        {"luma not full size", {{1, 1, 4, 0}, {2, 2, 1, 0}, {3, 1, 1, 0}}, -1, 0},
        {"CMYK without transform", {{1, 1, 4, 0}, {2, 1, 1, 0}, {3, 1, 1, 0}, {4, 1, 4, 0}}, -1, 0},
        {"YCCK, K full size", {{1, 1, 4, 0}, {2, 1, 1, 0}, {3, 1, 1, 0}, {4, 1, 4, 0}}, 2, 1},
        {"YCCK, K short", {{1, 1, 4, 0}, {2, 1, 1, 0}, {3, 1, 1, 0}, {4, 1, 1, 0}}, 2, 0},
    };
    for (const auto& c : cases) {
        JpegBuilder b;
        b.Soi();
        if (c.transform >= 0) b.App(14, Appe(c.transform));
        b.Sof(0xC1, 8, 32, c.components).Eoi();
        DecoderHarness harness(b.Bytes());
        ASSERT_EQ(harness.Header(), 0) << c.name;
        EXPECT_EQ(harness.Context()->fourLine, c.fourLine) << c.name;
    }
}

TEST_F(MarkerReaderTest, AppeAfterTheFrameChangesTheTransformButNotThePath) {
    const std::vector<FrameComponent> ycc = {{1, 1, 1, 0}, {2, 1, 1, 0}, {3, 1, 1, 0}};
    // Set up without a transform (path 0, 8-bit), then told YCbCr: the tables are built for the
    // 8-bit path that the frame chose.
    JpegBuilder late;
    late.Soi().App(14, Appe(0)).Dqt(0).Sof(0xC0, 8, 8, ycc).App(14, Appe(1)).FlatDht(0);
    late.Sos({{1, 0, 0}, {2, 0, 0}, {3, 0, 0}}).FlatBlocks(3).Eoi();
    DecoderHarness harness(late.Bytes());
    ASSERT_EQ(harness.Header(), 0);
    EXPECT_EQ(harness.Context()->colourTransform, 1);
    EXPECT_EQ(harness.Context()->colourPath, 0);
    EXPECT_EQ(harness.Context()->preciseColour, 0);
    std::vector<std::vector<uint8_t>> rows;
    ASSERT_EQ(harness.Rows(&rows), 0);
    EXPECT_EQ(rows[0], std::vector<uint8_t>(24, 128));
    // Set up for YCbCr on the precise path, then told "no transform": refused (see the refusals).
}

TEST_F(MarkerReaderTest, DcOnlyProgressiveImageIsBlocksOfTheirDcValue) {
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

TEST_F(MarkerReaderTest, ProgressiveTablesBetweenScansAndRunsPastTheBand) {
    // A DHT between scans is taken for the following scans.
    JpegBuilder dht = DcOnlyStart();
    dht.Dht(1, 0, OneCode(), {0x00}).Sos({{1, 0, 0}}, 1, 63, 0, 0).Raw({0x3F}).Eoi();  // two EOBs
    DecoderHarness accepted(dht.Bytes());
    EXPECT_EQ(accepted.Header(), 0);
    EXPECT_EQ(accepted.Context()->scansCompleted, 2);
    // (run 15, size 1) from k = 0 lands on 16 in a first scan of band 1..5: the block ends at Se,
    // no error (a refinement scan refuses the same, see the refusals).
    JpegBuilder run = DcOnlyStart();
    run.Dht(1, 0, OneCode(), {0xF1}).Sos({{1, 0, 0}}, 1, 5, 0, 0).Raw({0x5F}).Eoi();  // 0 1 | 0 1 | 1111
    DecoderHarness quiet(run.Bytes());
    ASSERT_EQ(quiet.Header(), 0);
    std::vector<std::vector<uint8_t>> rows;
    EXPECT_EQ(quiet.Rows(&rows), 0);
}

TEST_F(MarkerReaderTest, RefusalsCarryTheirCategoryAndMessage) {
    const std::vector<uint8_t> grey = GreyHeader().Bytes();
    std::vector<uint8_t> bits(16, 0);
    bits[0] = 2;  // two codes of length 1 leave none free
    std::vector<uint8_t> thirteen(16, 0);
    thirteen[3] = 13;  // 13 DC values of length 4
    std::vector<uint8_t> oneBit(16, 0);
    oneBit[0] = 1;
    const std::vector<FrameComponent> ycc = {{1, 1, 1, 0}, {2, 1, 1, 0}, {3, 1, 1, 0}};
    // 40 AC values of 6 bits, all usable but the one at `at` (values are checked 16 at a time).
    const auto fortyAc = [](int at, uint8_t value) {
        std::vector<uint8_t> bits(16, 0);
        bits[5] = 40;
        std::vector<uint8_t> values(40, 0x01);
        values[static_cast<std::size_t>(at)] = value;
        return JpegBuilder().Soi().Dht(1, 0, bits, values).Bytes();
    };
    // A progressive grey frame with flat tables, then one scan of these parameters.
    const auto scan = [](int ss, int se, int ah, int al) {
        return JpegBuilder().Soi().Dqt(0).Sof(0xC2, 8, 8, {kGrey}).FlatDht(0).Sos({{1, 0, 0}}, ss, se, ah, al).Eoi().Bytes();
    };
    const std::vector<Refusal> cases = {
        {"lossless-sof3", JpegBuilder().Soi().Sof(0xC3, 8, 8, {kGrey}).Bytes(), categoryUnsupported, 40},
        {"differential-sof5", JpegBuilder().Soi().Sof(0xC5, 8, 8, {kGrey}).Bytes(), categoryUnsupported, 43},
        {"arithmetic-sof9", JpegBuilder().Soi().Sof(0xC9, 8, 8, {kGrey}).Bytes(), categoryUnsupported, 42},
        {"unknown-marker-c8", JpegBuilder().Soi().Segment(0xC8, {}).Bytes(), categoryBadData, 44},
        {"second-soi", JpegBuilder().Soi().Soi().Bytes(), categoryBadData, 47},
        {"second-sof", Concat(grey, JpegBuilder().Sof(0xC0, 8, 8, {kGrey}).Bytes()), categoryBadData, 47},
        {"precision-12", JpegBuilder().Soi().Sof(0xC1, 8, 8, {kGrey}, 12).Bytes(), categoryBadData, 16},
        {"width-zero", JpegBuilder().Soi().Sof(0xC0, 0, 8, {kGrey}).Bytes(), categoryLimit, 17},
        {"height-zero", JpegBuilder().Soi().Sof(0xC0, 8, 0, {kGrey}).Bytes(), categoryLimit, 18},
        {"five-components", JpegBuilder().Soi().Sof(0xC0, 8, 8, {kGrey, kGrey, kGrey, kGrey, kGrey}).Bytes(),
         categoryBadData, 19},
        {"sampling-zero", JpegBuilder().Soi().Sof(0xC0, 8, 8, {{1, 0, 1, 0}}).Bytes(), categoryBadData, 1},
        {"sampling-five", JpegBuilder().Soi().Sof(0xC0, 8, 8, {{1, 1, 5, 0}}).Bytes(), categoryBadData, 1},
        {"sof-too-short", JpegBuilder().Soi().Raw({0xFF, 0xC0, 0, 8, 8, 0, 8, 0, 8, 1, 1, 0x11, 0}).Bytes(),
         categoryBadData, 45},
        {"dht-before-soi", JpegBuilder().Dht(0, 0, oneBit, {0}).Bytes(), categoryBadData, 23},
        {"dqt-before-soi", JpegBuilder().Dqt(0).Bytes(), categoryBadData, 23},
        {"sos-before-soi", JpegBuilder().Sos({{1, 0, 0}}).Bytes(), categoryBadData, 23},
        {"eoi-before-soi", JpegBuilder().Eoi().Bytes(), categoryBadData, 23},
        {"dht-bad-class", JpegBuilder().Soi().Dht(2, 0, oneBit, {0}).Bytes(), categoryBadData, 29},
        {"dht-over-committed", JpegBuilder().Soi().Dht(0, 0, bits, {0, 1}).Bytes(), categoryBadData, 4},
        {"dht-thirteen-dc-values", JpegBuilder().Soi().Dht(0, 0, thirteen, std::vector<uint8_t>(13, 0)).Bytes(),
         categoryLimit, 5},
        {"dht-dc-value-12", JpegBuilder().Soi().Dht(0, 0, oneBit, {12}).Bytes(), categoryBadData, 15},
        {"dht-ac-size-11", JpegBuilder().Soi().Dht(1, 0, oneBit, {0x0B}).Bytes(), categoryBadData, 14},
        {"dht-ac-eob-run-in-baseline", JpegBuilder().Soi().Dht(1, 0, oneBit, {0x20}).Bytes(), categoryBadData, 14},
        {"dht-ac-size-11-among-40", fortyAc(20, 0x1B), categoryBadData, 14},
        {"dht-ac-eob-run-among-40", fortyAc(3, 0x30), categoryBadData, 14},
        {"dht-ac-size-15-last-of-40", fortyAc(39, 0x0F), categoryBadData, 14},
        {"dqt-table-four", JpegBuilder().Soi().Dqt(4).Bytes(), categoryBadData, 21},
        {"dqt-zero-quantiser", JpegBuilder().Soi().Dqt(0, 0).Bytes(), categoryBadData, 22},
        {"sos-without-frame", JpegBuilder().Soi().Dqt(0).FlatDht(0).Sos({{1, 0, 0}}).Bytes(), categoryBadData, 39},
        {"sos-without-dqt", JpegBuilder().Soi().Sof(0xC0, 8, 8, {kGrey}).FlatDht(0).Sos({{1, 0, 0}}).Bytes(),
         categoryBadData, 39},
        {"sos-without-dht", JpegBuilder().Soi().Dqt(0).Sof(0xC0, 8, 8, {kGrey}).Sos({{1, 0, 0}}).Bytes(),
         categoryBadData, 39},
        {"sos-undefined-ac-slot", Concat(grey, JpegBuilder().Sos({{1, 0, 1}}).Bytes()), categoryBadData, 39},
        {"sos-two-components-in-grey", Concat(grey, JpegBuilder().Sos({{1, 0, 0}, {1, 0, 0}}).Bytes()),
         categoryBadData, 31},
        {"sos-unknown-id", Concat(grey, JpegBuilder().Sos({{7, 0, 0}}).Bytes()), categoryBadData, 32},
        {"sos-table-four", Concat(grey, JpegBuilder().Sos({{1, 4, 0}}).Bytes()), categoryBadData, 29},
        {"sos-undefined-qtable",
         Concat(JpegBuilder().Soi().Dqt(0).Sof(0xC0, 8, 8, {{1, 1, 1, 2}}).FlatDht(0).Bytes(),
                JpegBuilder().Sos({{1, 0, 0}}).Bytes()),
         categoryBadData, 33},
        {"sos-too-short", Concat(grey, JpegBuilder().Segment(0xDA, {1, 1, 0}).Bytes()), categoryBadData, 45},
        {"appe-caption-too-long",
         JpegBuilder().Soi().App(14, Concat({'N', 'u', 'r', 'v', 'o', 0, 1, 0, 0, 0, 0, 0, 4, 0x80, 0x00},
                                             std::vector<uint8_t>(32768, 'x'))).Bytes(),
         categoryLimit, 26},
        {"appe-directory-of-33",
         JpegBuilder().Soi().App(14, Concat({'N', 'u', 'r', 'v', 'o', 0, 1, 0, 0, 0, 0, 0, 3, 0, 166, 33},
                                             std::vector<uint8_t>(165, 0))).Bytes(),
         categoryLimit, 25},
        {"appe-block-past-payload",
         JpegBuilder().Soi().App(14, std::vector<uint8_t>{'N', 'u', 'r', 'v', 'o', 0, 1, 0, 0, 0, 0, 0, 9, 0, 50, 0}).Bytes(),
         categoryBadData, 28},
        {"transform-five", JpegBuilder().Soi().App(14, std::vector<uint8_t>{'N', 'u', 'r', 'v', 'o', 0, 1, 0, 0, 0, 0, 5})
                               .Sof(0xC0, 8, 8, {kGrey}).Bytes(),
         categoryBadData, 3},
        {"sampling-sum-eleven-in-baseline", ElevenBlockFrame(0xC0), categoryConflict, 2},
        {"dht-table-two-before-sof", JpegBuilder().Soi().Dht(0, 2, oneBit, {0}).Eoi().Bytes(), categoryBadData, 30},
        {"transform-dropped-after-the-frame",
         JpegBuilder().Soi().Dqt(0).Sof(0xC0, 8, 8, ycc).App(14, Appe(0)).FlatDht(0).Sos({{1, 0, 0}, {2, 0, 0}, {3, 0, 0}})
             .FlatBlocks(3).Eoi().Bytes(),
         categoryBadData, 3},
        {"progressive-dqt-between-scans", DcOnlyStart().Dqt(0, 16).Eoi().Bytes(), categoryBadData, 38},
        {"progressive-appe-between-scans", DcOnlyStart().App(14, Appe(0)).Eoi().Bytes(), categoryBadData, 23},
        {"progressive-se-past-63", scan(1, 64, 0, 0), categoryBadData, 35},
        {"progressive-se-before-ss", scan(5, 4, 0, 0), categoryBadData, 35},
        {"progressive-dc-with-ac-band", scan(0, 5, 0, 0), categoryBadData, 35},
        {"progressive-al-above-11", scan(1, 63, 0, 12), categoryBadData, 35},
        {"progressive-ah-not-above-al", scan(1, 63, 2, 2), categoryBadData, 35},
        {"progressive-two-components-in-ac",
         JpegBuilder().Soi().Dqt(0).Sof(0xC2, 8, 8, ycc).FlatDht(0).Sos({{1, 0, 0}, {2, 0, 0}}, 1, 63, 0, 0).Eoi().Bytes(),
         categoryBadData, 34},
        // A ZRL in a refinement scan of band 1..5 walks over sixteen zero cells: past Se.
        {"progressive-refinement-run-past-the-band",
         DcOnlyStart().Dht(1, 0, OneCode(), {0xF0}).Sos({{1, 0, 0}}, 1, 5, 1, 0).Raw({0x7F}).Eoi().Bytes(), categoryBadData, 6},
        {"text-file", std::vector<uint8_t>{'h', 'e', 'l', 'l', 'o', '\n'}, categorySourceFailed, 13},
        {"cut-inside-dqt", std::vector<uint8_t>(grey.begin(), grey.begin() + 10), categorySourceFailed, 13},
    };
    for (const Refusal& c : cases) {
        DecoderHarness harness(c.bytes);
        EXPECT_EQ(harness.Header(), c.category) << c.name;
        EXPECT_EQ(harness.Message(), c.message) << c.name;
    }
}

}  // namespace
