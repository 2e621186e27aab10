// The bit writer, code derivation and block coding against hand-worked bit strings.
#include <fcntl.h>
#include <unistd.h>

#include <csetjmp>
#include <string>
#include <vector>

#include "codec/codec_errors.h"
#include "shell/stream.h"
#include "codec/encoder/bit_writer.h"
#include "codec/encoder/huffman_encode.h"
#include "codec/encoder/marker_writer.h"
#include "tests/support/test_support.h"

using namespace kv::codec;
using namespace kv::shell;

namespace {

using testing_support::ScratchFile;

class HuffmanEncodeTest : public testing_support::HostMemoryTest {
protected:
    void SetUp() override {
        HostMemoryTest::SetUp();
        file_ = std::make_unique<ScratchFile>();
        fd_ = testing_support::OpenDescriptor(file_->Path(), O_RDWR);
        int16_t error = 0;
        context_.stream = StreamOpen(static_cast<uint64_t>(fd_), 1, &error);
    }
    void TearDown() override {
        StreamClose(context_.stream);
        close(fd_);
        HostMemoryTest::TearDown();
    }
    // Everything written so far.
    std::vector<uint8_t> Written() {
        SinkFlush(context_.stream);
        return file_->Contents();
    }
    // Runs a step under the jump point; answers the raised category or 0.
    template <class Step>
    int Run(Step step) {
        if (int category = setjmp(codecJumpPoint)) return category;
        step();
        return 0;
    }

    CodecContext context_{};
    std::unique_ptr<ScratchFile> file_;
    int fd_ = -1;
};

TEST_F(HuffmanEncodeTest, PutBitsPacksMostSignificantFirstAndStuffsFF) {
    PutBits(&context_, 0x5, 3);          // 101
    PutBits(&context_, 0x1F, 5);         // 11111: completes 0xBF
    PutBits(&context_, 0xFF, 8);         // a whole 0xFF byte gets a 0x00 after it
    PutBits(&context_, 0x3, 2);          // 11 pending
    PutBits(&context_, 0xFFFABCDE, 20);  // 11 + 1010 1011 1100 1101 1110 (the bits above 20 ignored)
    EXPECT_EQ(Written(), (std::vector<uint8_t>{0xBF, 0xFF, 0x00, 0xEA, 0xF3})) << "a whole 32-bit word leaves";
    EXPECT_EQ(context_.outputBitCount, 6);
    EXPECT_EQ(context_.outputBits & 0x3F, 0x1Eu) << "the last six bits 011110 wait";
    EXPECT_EQ(context_.bytesWritten, 5u) << "stuffing counts";
    FlushBits(&context_);
    EXPECT_EQ(Written(), (std::vector<uint8_t>{0xBF, 0xFF, 0x00, 0xEA, 0xF3, 0x7B})) << "padded with 1 bits";
}

TEST_F(HuffmanEncodeTest, ThirtyTwoBitsAtOnce) {
    PutBits(&context_, 1, 1);
    PutBits(&context_, 0x80000001u, 32);
    FlushBits(&context_);
    EXPECT_EQ(Written(), (std::vector<uint8_t>{0xC0, 0x00, 0x00, 0x00, 0xFF, 0x00}));
}

TEST_F(HuffmanEncodeTest, FlushPadsWithOnesAndStuffsWhenTheByteBecomesFF) {
    PutBits(&context_, 0x7F, 7);
    FlushBits(&context_);
    FlushBits(&context_);  // nothing pending: nothing written
    PutBits(&context_, 0, 1);
    WriteMarker(&context_, 0xD9);
    EXPECT_EQ(Written(), (std::vector<uint8_t>{0xFF, 0x00, 0x7F, 0xFF, 0xD9}));
}

TEST_F(HuffmanEncodeTest, ASymbolWithoutACodeIsCategoryFour) {
    EXPECT_EQ(Run([&] { PutBits(&context_, 0, 0); }), categoryMissingCode);
    EXPECT_EQ(context_.errorMessage, 50);
}

HuffmanTable TableOf(const std::vector<uint8_t>& bits16, const std::vector<uint8_t>& values) {
    HuffmanTable table{};
    for (int l = 0; l < 16; ++l) table.bits[l + 1] = bits16[l];
    for (std::size_t i = 0; i < values.size(); ++i) table.values[i] = values[i];
    table.valueCount = static_cast<int32_t>(values.size());
    return table;
}

TEST_F(HuffmanEncodeTest, DerivedCodesAreCanonicalWithTheirExtraBits) {
    // DC: lengths 2, 3, 3 for categories 1, 0, 2.
    const HuffmanTable dc = TableOf({0, 1, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, {1, 0, 2});
    HuffmanCodes codes{};
    ASSERT_EQ(Run([&] { DeriveEncoderCodes(&context_, &dc, &codes, 0); }), 0);
    EXPECT_EQ(codes.code[1], 0b00);
    EXPECT_EQ(codes.length[1], 2 + 1);
    EXPECT_EQ(codes.code[0], 0b010);
    EXPECT_EQ(codes.length[0], 3);
    EXPECT_EQ(codes.code[2], 0b011);
    EXPECT_EQ(codes.length[2], 3 + 2);
    EXPECT_EQ(codes.length[3], kNoCodeLength) << "a category not in the table has no code";

    // AC: EOB, ZRL and (run 1, size 2) land at 0, 15 and 2 x 16 + 1.
    const HuffmanTable ac = TableOf({0, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, {0x00, 0xF0, 0x12});
    ASSERT_EQ(Run([&] { DeriveEncoderCodes(&context_, &ac, &codes, 1); }), 0);
    EXPECT_EQ(codes.length[0], 2);
    EXPECT_EQ(codes.length[15], 2);
    EXPECT_EQ(codes.code[33], 0b10);
    EXPECT_EQ(codes.length[33], 2 + 2);
}

TEST_F(HuffmanEncodeTest, UnusableTablesAreRefused) {
    HuffmanCodes codes{};
    const struct {
        const char* name;
        HuffmanTable table;
        int kind;
        int category;
        int message;
    } cases[] = {
        {"two codes of length 1", TableOf({2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, {0, 1}), 0, 16, 4},
        {"DC value 12", TableOf({1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, {12}), 0, 16, 52},
        {"AC size 11", TableOf({1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, {0x1B}), 1, 16, 51},
        {"EOB run outside progressive", TableOf({1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, {0x30}), 1, 16, 51},
        {"13 DC values", TableOf({0, 0, 0, 13, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, std::vector<uint8_t>(13, 0)), 0,
         17, 5},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Run([&] { DeriveEncoderCodes(&context_, &c.table, &codes, c.kind); }), c.category) << c.name;
        EXPECT_EQ(context_.errorMessage, c.message) << c.name;
    }
}


// The block coder's symbol keys, vector form against the portable one for every 16-bit value in
// every cell position, and the portable one against sizes worked by hand.
TEST(SymbolKeys, VectorPathsMatchThePortableFormForEveryValue) {
    int16_t cells[64];
    uint16_t keys[64], expected[64];
    for (int first = 0; first < 65536; first += 64) {
        for (int k = 0; k < 64; ++k) cells[k] = static_cast<int16_t>(static_cast<uint16_t>(first + (k * 37) % 64));
        SymbolKeys(cells, keys);
        SymbolKeysPortable(cells, expected);
        for (int k = 0; k < 64; ++k) ASSERT_EQ(keys[k], expected[k]) << "value " << cells[k];
    }
    const int16_t values[] = {0, 1, -1, 2, -3, 255, 256, -256, 1023, -1024, 2047, 32767, -32768};
    const int sizes[] = {0, 1, 1, 2, 2, 8, 9, 9, 10, 11, 11, 15, 16};
    for (int k = 0; k < 64; ++k) cells[k] = values[k % 13];
    SymbolKeysPortable(cells, keys);
    for (int k = 0; k < 64; ++k) {
        EXPECT_EQ(keys[k], sizes[k % 13] * 32 + (values[k % 13] < 0 ? 16 : 0)) << "value " << values[k % 13];
    }
}

}  // namespace
