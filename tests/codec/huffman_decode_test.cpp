// Huffman decoding pieces against hand-worked tables: canonical codes, the max-code search data, the
// 7-bit look-ahead entries, and the bit reader at stuffed bytes and markers.
#include <fcntl.h>
#include <unistd.h>

#include <csetjmp>
#include <memory>
#include <vector>

#include "codec/codec_errors.h"
#include "shell/stream.h"
#include "codec/huffman_decode.h"
#include "codec/bit_reader.h"
#include "codec/huffman_tables.h"
#include "tests/support/test_support.h"

using namespace kv::codec;
using namespace kv::shell;

namespace {

using testing_support::ScratchFile;

// The usual luminance AC table of the JPEG standard's examples: BITS and the first values.
const uint8_t kLumaAcBits[17] = {0, 0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 0x7d};

HuffmanTable MakeTable(const uint8_t* bits17, const std::vector<uint8_t>& values, int isAc, CodecContext* context) {
    HuffmanTable table{};
    for (int l = 1; l <= 16; ++l) table.bits[l] = bits17[l];
    for (std::size_t i = 0; i < values.size(); ++i) table.values[i] = values[i];
    table.valueCount = static_cast<int32_t>(values.size());
    uint8_t sizes[kMaxAcValuesProgressive + 1];
    uint16_t codes[kMaxAcValuesProgressive];
    BuildHuffmanCodes(context, table.bits, sizes, codes, isAc);
    BuildHuffmanLookup(&table, isAc, codes);
    return table;
}

TEST(HuffmanTables, CanonicalCodesAndSearchData) {
    CodecContext context{};
    context.decoder = 1;
    const uint8_t bits[17] = {0, 0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0};  // usual luminance DC
    uint8_t sizes[13];
    uint16_t codes[12];
    ASSERT_EQ(BuildHuffmanCodes(&context, bits, sizes, codes, 0), 12);
    const uint16_t expected[12] = {0b00, 0b010, 0b011, 0b100, 0b101, 0b110, 0b1110, 0b11110,
                                   0b111110, 0b1111110, 0b11111110, 0b111111110};
    for (int i = 0; i < 12; ++i) EXPECT_EQ(codes[i], expected[i]) << "code " << i;
    EXPECT_EQ(sizes[12], 0);

    const HuffmanTable table = MakeTable(bits, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}, 0, &context);
    EXPECT_EQ(table.maxCode[1], -1);
    EXPECT_EQ(table.maxCode[2], 0x3FFF);   // 00 followed by anything
    EXPECT_EQ(table.maxCode[3], 0xDFFF);   // up to 110
    EXPECT_EQ(table.maxCode[9], 0xFF7F);   // 111111110
    EXPECT_EQ(table.limit, 0xFF80);
    EXPECT_EQ(table.valueOffset[3], 1 - 0b010);
}

TEST(HuffmanTables, LookaheadHoldsShortCodesAndWhereLongOnesStart) {
    CodecContext context{};
    context.decoder = 1;
    std::vector<uint8_t> values = {0x01, 0x02, 0x03, 0x00, 0x04, 0x11, 0x05, 0x12, 0x21, 0x31, 0x41, 0x06, 0x13};
    values.resize(162, 0xFA);
    for (std::size_t i = 13; i < values.size(); ++i) values[i] = static_cast<uint8_t>(0x14 + i);  // distinct fillers
    const HuffmanTable table = MakeTable(kLumaAcBits, values, 1, &context);
    // 00 -> 0x01 in 2 bits: a direct hit whose entry as a whole is 0x0102 (above 16).
    for (int prefix = 0; prefix < 32; ++prefix) EXPECT_EQ(table.lookahead[prefix], 0x0102);
    // 1010 -> EOB (0x00) in 4 bits.
    for (int prefix = 0b1010000; prefix < 0b1011000; ++prefix) EXPECT_EQ(table.lookahead[prefix], 0x0004);
    // 1100 -> 0x11 in 4 bits: symbol in the high byte, length in the low byte.
    EXPECT_EQ(table.lookahead[0b1100000], 0x1104);
    EXPECT_EQ(table.lookahead[0b1100111], 0x1104);
    // 1111000 -> 0x06 and 1111001 -> 0x13 in 7 bits.
    EXPECT_EQ(table.lookahead[0b1111000], 0x0607);
    EXPECT_EQ(table.lookahead[0b1111001], 0x1307);
    // 1111100 and 1111101 begin 8-bit codes; 1111111 begins nothing shorter than 10 bits.
    EXPECT_EQ(table.lookahead[0b1111100], 16 + (8 - 1));
    EXPECT_EQ(table.lookahead[0b1111101], 16 + (8 - 1));
    EXPECT_EQ(table.lookahead[0b1111111], 16 + (10 - 1));
}

class BitReaderTest : public testing_support::HostMemoryTest {
protected:
    void Open(const std::vector<uint8_t>& bytes) {
        file_ = std::make_unique<ScratchFile>(bytes);
        fd_ = testing_support::OpenDescriptor(file_->Path(), O_RDONLY);
        int16_t error = 0;
        context_.stream = StreamOpen(static_cast<uint64_t>(fd_), 0, &error);
        context_.decoder = 1;
        context_.lookahead = DecoderFetchByte(&context_);
    }
    void Close() {
        StreamClose(context_.stream);
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
        context_ = CodecContext{};
    }
    void TearDown() override {
        Close();
        HostMemoryTest::TearDown();
    }
    // Reads `count` bits under the jump point; answers the raised category or 0.
    int Read(int count, uint32_t* value) {
        if (int category = setjmp(codecJumpPoint)) return category;
        *value = ReadBits(&context_, count);
        return 0;
    }
    CodecContext context_{};
    std::unique_ptr<ScratchFile> file_;
    int fd_ = -1;
};

TEST_F(BitReaderTest, StuffedFFIsOneDataByte) {
    Open({0xFF, 0x00, 0xFF, 0xFF, 0x00, 0x12, 0xFF, 0xD9});
    uint32_t value = 0;
    ASSERT_EQ(Read(8, &value), 0);
    EXPECT_EQ(value, 0xFFu);
    ASSERT_EQ(Read(8, &value), 0);
    EXPECT_EQ(value, 0xFFu) << "FF FF 00 is one data byte FF too";
    ASSERT_EQ(Read(8, &value), 0);
    EXPECT_EQ(value, 0x12u);
    EXPECT_EQ(NextMarker(&context_), 0xD9) << "the EOI stays for the marker reader";
}

TEST_F(BitReaderTest, BitsAtAMarkerArePaddedOnlyAsFarAsTheyGo) {
    Open({0xA5, 0xFF, 0xD9});
    uint32_t value = 0;
    ASSERT_EQ(Read(4, &value), 0);
    EXPECT_EQ(value, 0xAu);
    ASSERT_EQ(Read(4, &value), 0);
    EXPECT_EQ(value, 0x5u);
    // Nothing real is left: the byte after the EOI code is the end of the file.
    EXPECT_EQ(Read(1, &value), categorySourceFailed);
    EXPECT_EQ(context_.errorMessage, 10);
}

TEST_F(BitReaderTest, AMarkerFollowedByDataWhereBitsAreNeededIsBadData) {
    Open({0x0F, 0xFF, 0xC4, 0x01, 0x02});
    uint32_t value = 0;
    ASSERT_EQ(Read(8, &value), 0);
    EXPECT_EQ(Read(2, &value), categoryBadData);
    EXPECT_EQ(context_.errorMessage, 9);
    EXPECT_EQ(context_.errorArguments[0], 0xC4);
}

struct CodedSymbol {
    int symbol;
    int32_t value;
};

// Decodes symbols under the jump point while they match `expected`; answers how many did. The bit
// state goes back to the context unless a raise ended the run.
template <bool OneStep>
std::size_t DecodeMatching(CodecContext* context, const HuffmanTable* table, const std::vector<CodedSymbol>& expected) {
    volatile std::size_t matched = 0;
    BitState state = LoadBits(context);
    if (setjmp(codecJumpPoint) == 0) {
        while (matched < expected.size()) {
            int32_t value = 0;
            const int symbol = DecodeSymbol<true, OneStep>(context, state, table, &value);
            if (symbol != expected[matched].symbol || value != expected[matched].value) break;
            matched = matched + 1;
        }
        StoreBits(context, state);
    }
    return matched;
}

// Random AC symbols with their value bits, coded by a table with codes of 2 to 16 bits and stuffed
// as a scan is: the one-step path and the search path must both give back every symbol and value,
// up to the last one before the EOI (where fewer than 32 bits remain and the checked step runs).
TEST_F(BitReaderTest, OneStepAndSearchDecodeTheSameSymbolsAndValues) {
    const uint8_t bits[17] = {0, 0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 2, 3, 4, 5};
    std::vector<uint8_t> values;
    for (int i = 0; values.size() < 50; ++i) values.push_back(static_cast<uint8_t>((i % 16) << 4 | (i * 7) % 11));
    HuffmanTable table = MakeTable(bits, values, 1, &context_);
    BuildOneStepLookup(&table);
    uint8_t sizes[kMaxAcValuesProgressive + 1];
    uint16_t codes[kMaxAcValuesProgressive];
    BuildHuffmanCodes(&context_, table.bits, sizes, codes, 1);

    std::vector<CodedSymbol> expected;
    std::vector<uint8_t> bytes;
    uint64_t pending = 0;
    int pendingBits = 0;
    const auto put = [&](uint32_t field, int count) {
        pending = pending << count | field;
        for (pendingBits += count; pendingBits >= 8; pendingBits -= 8) {
            bytes.push_back(static_cast<uint8_t>(pending >> (pendingBits - 8)));
            if (bytes.back() == 0xFF) bytes.push_back(0x00);
        }
    };
    uint32_t random = 12345;
    for (int n = 0; n < 3000; ++n) {
        random = random * 1103515245u + 12345u;
        const int index = static_cast<int>((random >> 8) % values.size());
        const int size = values[static_cast<std::size_t>(index)] & 15;
        const uint32_t raw = size == 0 ? 0 : (random >> 16) & ((1u << size) - 1);
        put(codes[index], sizes[index]);
        put(raw, size);
        const int32_t value = size == 0 ? 0 : (raw >= (1u << (size - 1)) ? static_cast<int32_t>(raw)
                                                                         : static_cast<int32_t>(raw) + 1 - (1 << size));
        expected.push_back({values[static_cast<std::size_t>(index)], value});
    }
    if (pendingBits > 0) put((1u << (8 - pendingBits)) - 1, 8 - pendingBits);
    bytes.push_back(0xFF);
    bytes.push_back(0xD9);

    for (const bool oneStep : {true, false}) {
        Open(bytes);
        const std::size_t matched = oneStep ? DecodeMatching<true>(&context_, &table, expected)
                                            : DecodeMatching<false>(&context_, &table, expected);
        EXPECT_EQ(matched, expected.size()) << (oneStep ? "one step" : "search") << ": symbol " << matched << " differs";
        EXPECT_EQ(NextMarker(&context_), 0xD9) << "the EOI stays for the marker reader";
        Close();
    }
}

}  // namespace
