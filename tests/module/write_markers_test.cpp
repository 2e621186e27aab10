// The bytes around the entropy-coded data of files written through the dlopen'd module: the header
// from SOI to SOF with the host's densities, the quality's quantisers in DQT (worked examples), the
// options record the host keeps, the ICC profile cut into APP2 chunks and read back whole, and the
// scan directory of progressive files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "tests/module/peer_jpeg.h"
#include "tests/module/module_fixture.h"

namespace {

using module_testing::Format;
using module_testing::Picture;
using module_testing::ReadOutcome;
using module_testing::Segment;
using module_testing::TempFolder;
using module_testing::WriteOptions;
using module_testing::WriteOutcome;
using module_testing::WriteTest;

std::vector<uint8_t> Bytes(std::initializer_list<int> values) {
    std::vector<uint8_t> bytes;
    for (int value : values) bytes.push_back(static_cast<uint8_t>(value));
    return bytes;
}

std::vector<uint8_t> Text(const char* text) { return std::vector<uint8_t>(text, text + std::strlen(text)); }

void Append(std::vector<uint8_t>* to, const std::vector<uint8_t>& bytes) { to->insert(to->end(), bytes.begin(), bytes.end()); }

std::vector<int> Codes(const std::vector<Segment>& segments) {
    std::vector<int> codes;
    for (const Segment& segment : segments) codes.push_back(segment.code);
    return codes;
}

// Every marker of the file in order with its offset: segments by their lengths, and the entropy-coded
// data after each SOS skipped up to the next marker other than a stuffed zero or a restart marker.
std::vector<std::pair<std::size_t, int>> Markers(const std::vector<uint8_t>& jpeg) {
    std::vector<std::pair<std::size_t, int>> markers;
    std::size_t at = 0;
    while (at + 1 < jpeg.size()) {
        if (jpeg[at] != 0xFF) {
            ADD_FAILURE() << "no marker at " << at;
            break;
        }
        const int code = jpeg[at + 1];
        markers.emplace_back(at, code);
        if (code == 0xD8) {
            at += 2;
            continue;
        }
        if (code == 0xD9) break;
        if (at + 4 > jpeg.size()) break;
        at += 2 + ((std::size_t{jpeg[at + 2]} << 8) | jpeg[at + 3]);
        if (code != 0xDA) continue;
        while (at + 1 < jpeg.size() &&
               !(jpeg[at] == 0xFF && jpeg[at + 1] != 0x00 && (jpeg[at + 1] < 0xD0 || jpeg[at + 1] > 0xD7))) {
            ++at;
        }
    }
    return markers;
}

class WriteMarkersTest : public WriteTest {
protected:
    WriteOutcome Write(const Picture& picture, const WriteOptions& options) {
        return WriteJpeg(picture, folder_.PathOf("out.jpg"), options);
    }
    TempFolder folder_;
};

struct HeaderCase {
    int32_t width;  // 0: the bundled sample
    int32_t height;
    int16_t quality;
    Format format;
    int32_t horizontalResolution;  // 16.16 ppi
    int32_t verticalResolution;
    int xDensity;  // what APP0 must carry
    int yDensity;
    int sofCode;
    int lumaSampling;  // H * 16 + V of component 1
    int zigzag;        // a luma quantiser in DQT (zig-zag position) and its stored value
    int stored;
};

TEST_F(WriteMarkersTest, HeaderFromSoiToSofCarriesTheHostsDensitiesTheQuantisersAndTheFrame) {
    const HeaderCase cases[] = {
        // Quality 5: 103 x 0.65 = 67, reduced by 0.75: coarser than quality 4.
        {0, 0, 5, Format::baseline, 150 << 16, 96 << 16, 150, 96, 0xC0, 0x22, 63, 50},
        // Quality 2: 103 capped at 85, reduced.
        {0, 0, 2, Format::baseline, 72 << 16, 72 << 16, 72, 72, 0xC0, 0x22, 63, 64},
        // The fraction of a 16.16 resolution is dropped. Quality 4: 103 x 0.5 = 52, reduced.
        {33, 9, 4, Format::optimised, (72 << 16) + 0x8000, (300 << 16) + 0xFFFF, 72, 300, 0xC0, 0x22, 63, 39},
        // From quality 6 on (scale 0.4) no component is subsampled.
        {17, 1, 6, Format::progressive, 1 << 16, 32767 << 16, 1, 32767, 0xC2, 0x11, 0, 6},
        // Quality 10: 16 x 0.025 rounds to 0, raised to 1.
        {1, 17, 10, Format::baseline, 600 << 16, 600 << 16, 600, 600, 0xC0, 0x11, 0, 1},
        // Quality 0 (scale 1.5 above 1): 16 + trunc(0.5 x 16 x 0.5 + 0.5), no reduction below 255.
        {16, 16, 0, Format::progressive, 72 << 16, 72 << 16, 72, 72, 0xC2, 0x22, 0, 20},
    };
    for (const HeaderCase& item : cases) {
        const Picture picture = item.width == 0 ? module_testing::SamplePicture()
                                                : module_testing::SyntheticPicture(item.width, item.height);
        SCOPED_TRACE(::testing::Message() << picture.name << ", quality " << item.quality << ", format "
                                          << static_cast<int>(item.format));
        WriteOptions options;
        options.quality = item.quality;
        options.format = item.format;
        options.horizontalResolution = item.horizontalResolution;
        options.verticalResolution = item.verticalResolution;
        const WriteOutcome written = Write(picture, options);
        ASSERT_EQ(written.failure, resultOk);
        ASSERT_EQ(written.rowsTaken, picture.height);

        // SOI, the 18-byte JFIF APP0 (version 1.2, units 0, no thumbnail), then APPE.
        std::vector<uint8_t> expected = Bytes({0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10});
        Append(&expected, Text("JFIF"));
        Append(&expected, Bytes({0x00, 0x01, 0x02, 0x00, item.xDensity >> 8, item.xDensity & 0xFF, item.yDensity >> 8,
                                 item.yDensity & 0xFF, 0x00, 0x00, 0xFF, 0xEE}));
        ASSERT_GE(written.jpeg.size(), expected.size());
        EXPECT_EQ(std::vector<uint8_t>(written.jpeg.begin(), written.jpeg.begin() + static_cast<std::ptrdiff_t>(expected.size())),
                  expected);

        const std::vector<Segment> segments = module_testing::HeaderSegments(written.jpeg);
        EXPECT_EQ(Codes(segments), (std::vector<int>{0xE0, 0xEE, 0xDB, item.sofCode, 0xC4, 0xDA}));
        if (segments.size() < 4) continue;
        // APPE: "Nurvo", version 100, flags with averaging and 16-bit samples, transform 1; the
        // sequential formats carry nothing more.
        std::vector<uint8_t> appe = Text("Nurvo");
        Append(&appe, Bytes({0x00, 0x64, 0xC0, 0x00, 0x00, 0x00, 0x01}));
        ASSERT_GE(segments[1].payload.size(), appe.size());
        EXPECT_EQ(std::vector<uint8_t>(segments[1].payload.begin(), segments[1].payload.begin() + 12), appe);
        if (item.format != Format::progressive) {
            EXPECT_EQ(segments[1].payload.size(), 12u);
        }
        // DQT: two tables, 0 and 1.
        ASSERT_EQ(segments[2].payload.size(), 130u);
        EXPECT_EQ(segments[2].payload[0], 0);
        EXPECT_EQ(segments[2].payload[65], 1);
        EXPECT_EQ(segments[2].payload[static_cast<std::size_t>(1 + item.zigzag)], item.stored);
        // SOF: precision 8, height, width, three components, luma sampling, chroma on table 1.
        const auto sofExpected = Bytes({0x08, picture.height >> 8, picture.height & 0xFF, picture.width >> 8,
                                        picture.width & 0xFF, 0x03, 0x01, item.lumaSampling, 0x00, 0x02, 0x11, 0x01,
                                        0x03, 0x11, 0x01});
        EXPECT_EQ(segments[3].payload, sofExpected);

        // The peer reads the same densities.
        peer::Image decoded;
        std::string error;
        ASSERT_TRUE(peer::Decode(written.jpeg, &decoded, &error)) << error;
        EXPECT_TRUE(decoded.sawJfif);
        EXPECT_EQ(decoded.densityUnit, 0);
        EXPECT_EQ(decoded.xDensity, item.xDensity);
        EXPECT_EQ(decoded.yDensity, item.yDensity);
    }
}

// The quality, format and scan count a file was written with, as far as its bytes tell: the frame
// marker, the number of scans and the last luma quantiser (a different one for every quality).
struct Coding {
    int sofCode = 0;
    int scans = 0;
    int lastLumaQuantiser = 0;
    bool operator==(const Coding&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Coding& coding) {
    return out << "SOF " << std::hex << coding.sofCode << std::dec << ", " << coding.scans << " scans, last luma quantiser "
               << coding.lastLumaQuantiser;
}

Coding CodingOf(const std::vector<uint8_t>& jpeg) {
    Coding coding;
    for (const auto& [offset, code] : Markers(jpeg)) {
        if (code >= 0xC0 && code <= 0xC2) coding.sofCode = code;
        if (code == 0xDA) ++coding.scans;
        if (code == 0xDB && offset + 4 + 64 < jpeg.size()) coding.lastLumaQuantiser = jpeg[offset + 4 + 64];
    }
    return coding;
}

std::vector<uint8_t> RecordBytes(const char* signature, std::size_t size, std::size_t at,
                                 std::initializer_list<int> words) {
    std::vector<uint8_t> bytes(size, 0);
    std::memcpy(bytes.data(), signature, 4);
    for (int word : words) {
        bytes[at] = static_cast<uint8_t>(static_cast<uint16_t>(word) >> 8);
        bytes[at + 1] = static_cast<uint8_t>(word & 0xFF);
        at += 2;
    }
    return bytes;
}

TEST_F(WriteMarkersTest, TheOptionsRecordTheHostKeepsDecidesTheCoding) {
    const Picture picture = module_testing::SyntheticPicture(40, 24);
    // What each quality, format and scans value gives with a current record.
    const auto reference = [&](int16_t quality, Format format, int16_t scans) {
        WriteOptions options;
        options.quality = quality;
        options.format = format;
        options.scans = scans;
        return CodingOf(Write(picture, options).jpeg);
    };
    const Coding defaults = reference(5, Format::baseline, 1);
    EXPECT_EQ(defaults, (Coding{0xC0, 1, 50}));
    EXPECT_EQ(reference(10, Format::progressive, 3).scans, 14);

    struct RecordCase {
        std::string name;
        std::vector<uint8_t> record;      // empty: the host holds none
        std::optional<Coding> expected;  // none: write start may refuse the record
    };
    std::vector<RecordCase> cases = {
        {"no record: the defaults", {}, defaults},
        {"legacy record: its options at bytes 14 to 19", RecordBytes("JPEG", 20, 14, {10, 2, 3}),
         reference(10, Format::progressive, 3)},
        {"foreign record: the defaults", RecordBytes("ABCD", 28, 22, {10, 2, 3}), defaults},
        {"current record too short: the defaults", RecordBytes("JP64", 24, 20, {0, 10}), defaults},
    };
    // Quality, format or scans outside their ranges, which no dialog makes: write start may refuse
    // them as bad parameters; whatever it writes must be a clean JPEG.
    const int16_t outside[][3] = {{-1, 0, 1}, {11, 0, 1},  {32767, 1, 1}, {-32768, 2, 1}, {5, 3, 1},
                                  {5, -1, 1}, {5, 2, 0},   {5, 2, 4},     {5, 2, -7},     {5, 2, 32767}};
    for (const auto& values : outside) {
        cases.push_back({"quality " + std::to_string(values[0]) + ", format " + std::to_string(values[1]) + ", scans " +
                             std::to_string(values[2]),
                         RecordBytes("JP64", 28, 22, {values[0], values[1], values[2]}), std::nullopt});
    }
    for (const RecordCase& item : cases) {
        SCOPED_TRACE(item.name);
        WriteOptions options;
        options.presetRecord = false;
        options.rawRecord = item.record;
        const WriteOutcome written = Write(picture, options);
        if (!item.expected && written.start == resultBadParameters) continue;
        ASSERT_EQ(written.start, resultOk);
        ASSERT_EQ(written.failure, resultOk);
        EXPECT_TRUE(!item.expected || CodingOf(written.jpeg) == *item.expected) << CodingOf(written.jpeg);
        peer::Image decoded;
        std::string error;
        ASSERT_TRUE(peer::Decode(written.jpeg, &decoded, &error)) << error;
        EXPECT_EQ(decoded.warnings, 0) << decoded.firstWarning;
        EXPECT_GE(module_testing::Compare(decoded.pixels, picture.rgb).psnr, 15.0);
    }
}

// A profile of the given size, every byte telling its position.
std::vector<uint8_t> Profile(std::size_t size) {
    std::vector<uint8_t> profile(size);
    for (std::size_t i = 0; i < size; ++i) profile[i] = static_cast<uint8_t>((i * 131 + i / 251) & 0xFF);
    return profile;
}

struct ProfileCase {
    std::size_t size;
    std::vector<std::size_t> chunks;  // the chunks written; none while profiles are disabled
    int32_t profilesEnabled = 1;
    int16_t start = resultOk;
};

// The host's profile is cut into numbered APP2 chunks right after APP0, which the module's read
// path and the peer join to the same profile; a chunk count above 255 does not fit its byte.
TEST_F(WriteMarkersTest, ProfileIsCutIntoNumberedChunksAndReadsBackWhole) {
    const ProfileCase cases[] = {
        {1, {1}},
        {65519, {65519}},
        {65520, {65519, 1}},
        {3 * 65519 + 7, {65519, 65519, 65519, 7}},
        {5000, {}, 0},
        {255 * 65519, std::vector<std::size_t>(255, 65519)},
        {255 * 65519 + 1, {}, 1, resultBadParameters},
    };
    const Picture picture = module_testing::SyntheticPicture(33, 9);
    for (const ProfileCase& item : cases) {
        SCOPED_TRACE(::testing::Message() << "profile of " << item.size << " bytes, enabled " << item.profilesEnabled);
        WriteOptions options;
        options.profile = Profile(item.size);
        options.profilesEnabled = item.profilesEnabled;
        const WriteOutcome written = Write(picture, options);
        ASSERT_EQ(written.start, item.start);
        if (item.start != resultOk) {
            EXPECT_FALSE(written.finished);
            continue;
        }
        ASSERT_EQ(written.failure, resultOk);
        const std::vector<Segment> segments = module_testing::HeaderSegments(written.jpeg);
        ASSERT_GE(segments.size(), item.chunks.size() + 2);
        EXPECT_EQ(segments[0].code, 0xE0);
        EXPECT_EQ(segments[item.chunks.size() + 1].code, 0xEE);
        std::size_t at = 0;
        for (std::size_t k = 0; k < item.chunks.size(); ++k) {
            const Segment& chunk = segments[k + 1];
            SCOPED_TRACE(::testing::Message() << "chunk " << k + 1);
            ASSERT_EQ(chunk.code, 0xE2);
            const std::size_t length = item.chunks[k] + 16;
            EXPECT_EQ(written.jpeg[chunk.offset + 2], length >> 8);
            EXPECT_EQ(written.jpeg[chunk.offset + 3], length & 0xFF);
            ASSERT_EQ(chunk.payload.size(), item.chunks[k] + 14);
            EXPECT_EQ(std::memcmp(chunk.payload.data(), "ICC_PROFILE\0", 12), 0);
            EXPECT_EQ(chunk.payload[12], k + 1);
            EXPECT_EQ(chunk.payload[13], item.chunks.size());
            EXPECT_TRUE(std::equal(chunk.payload.begin() + 14, chunk.payload.end(),
                                   options.profile.begin() + static_cast<std::ptrdiff_t>(at)));
            at += item.chunks[k];
        }
        const std::vector<uint8_t> expected = item.chunks.empty() ? std::vector<uint8_t>{} : options.profile;
        const ReadOutcome read = ReadJpeg(folder_.PathOf("out.jpg"));
        ASSERT_EQ(read.start, resultOk);
        EXPECT_EQ(read.profileHandle, !expected.empty());
        EXPECT_TRUE(read.profile == expected) << "read back " << read.profile.size() << " bytes";
        peer::Image decoded;
        std::string error;
        ASSERT_TRUE(peer::Decode(written.jpeg, &decoded, &error)) << error;
        EXPECT_EQ(decoded.warnings, 0) << decoded.firstWarning;
        EXPECT_TRUE(decoded.iccProfile == expected) << "the peer read " << decoded.iccProfile.size() << " bytes";
    }
}

struct DirectoryCase {
    int16_t scans;          // as stored
    int scanCount;          // SOS markers in the file
    std::vector<int> entries;  // the scan numbers (0-based) in the directory
    std::size_t profileBytes = 0;  // a profile ahead of APPE moves every offset
};

TEST_F(WriteMarkersTest, ProgressiveScanDirectoryPointsAtTheEndOfEachFlaggedScan) {
    const DirectoryCase cases[] = {
        {1, 7, {2, 3, 6}},
        {2, 10, {3, 6, 9}},
        {3, 14, {3, 6, 10, 13}},
        {1, 7, {2, 3, 6}, 70000},
        {3, 14, {3, 6, 10, 13}, 3 * 65519},
    };
    const Picture picture = module_testing::SamplePicture();
    for (const DirectoryCase& item : cases) {
        SCOPED_TRACE(::testing::Message() << "scans value " << item.scans << ", profile " << item.profileBytes);
        WriteOptions options;
        options.format = Format::progressive;
        options.scans = item.scans;
        options.profile = Profile(item.profileBytes);
        const WriteOutcome written = Write(picture, options);
        ASSERT_EQ(written.failure, resultOk);
        const std::vector<Segment> segments = module_testing::HeaderSegments(written.jpeg);
        const auto appeSegment = std::find_if(segments.begin(), segments.end(),
                                              [](const Segment& segment) { return segment.code == 0xEE; });
        ASSERT_NE(appeSegment, segments.end());
        const std::vector<uint8_t>& appe = appeSegment->payload;
        // After "Nurvo", version, flags and transform: tag 3, length 5d + 1, d, d numbers, d offsets.
        ASSERT_GE(appe.size(), 16u);
        ASSERT_EQ(appe[12], 3) << "no scan directory";
        const std::size_t d = appe[15];
        EXPECT_EQ((std::size_t{appe[13]} << 8) | appe[14], 5 * d + 1);
        ASSERT_EQ(appe.size(), 12 + 4 + 5 * d) << "APPE length is not 14 + 5d + 4";
        ASSERT_GE(d, 2u);

        std::vector<std::size_t> starts;  // of every SOS, then of EOI
        for (const auto& [offset, code] : Markers(written.jpeg)) {
            if (code == 0xDA || code == 0xD9) starts.push_back(offset);
        }
        ASSERT_GE(starts.size(), 2u);
        ASSERT_EQ(written.jpeg[starts.back() + 1], 0xD9) << "the file does not end with EOI";
        EXPECT_EQ(starts.size() - 1, static_cast<std::size_t>(item.scanCount));
        std::vector<int> numbers;
        for (std::size_t e = 0; e < d; ++e) {
            const int number = appe[16 + e];
            numbers.push_back(number);
            const std::size_t at = 16 + d + 4 * e;
            const std::size_t offset = (std::size_t{appe[at]} << 24) | (std::size_t{appe[at + 1]} << 16) |
                                       (std::size_t{appe[at + 2]} << 8) | appe[at + 3];
            // The end of scan `number` is where the next scan's SOS, or EOI, begins.
            ASSERT_LT(static_cast<std::size_t>(number) + 1, starts.size());
            EXPECT_EQ(offset, starts[static_cast<std::size_t>(number) + 1]) << "entry " << e << " for scan " << number;
        }
        EXPECT_EQ(numbers, item.entries);
    }
}

}  // namespace
