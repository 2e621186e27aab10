// What read start makes of a file, one table of built and shared files: the header refusals with
// their result codes (and the small frames that read), ICC profile chunks joined in file order into
// the host's profile handle (or left alone when the host exchanges no profiles), and the resolution
// from JFIF densities, judged by the peer decoder for the shared images.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tests/module/peer_jpeg.h"
#include "tests/module/module_fixture.h"
#include "tests/support/jpeg_builder.h"

namespace {

using module_testing::FileBytes;
using module_testing::IccSegment;
using module_testing::InsertAfterSoi;
using module_testing::ReadOptions;
using module_testing::ReadOutcome;
using module_testing::ReadTest;
using module_testing::SegmentBytes;
using module_testing::TempFolder;
using module_testing::TestImage;
using testing_support::FrameComponent;
using testing_support::JpegBuilder;
using Bytes = std::vector<uint8_t>;

constexpr int32_t kHostResolution = 123 << 16;  // what the host holds before read start
const std::vector<FrameComponent> kColour420 = {{1, 2, 2, 0}, {2, 1, 1, 0}, {3, 1, 1, 0}};

struct StartCase {
    std::string name{};
    Bytes file{};
    int16_t start = resultOk;  // read start's answer; an accepted file must then deliver every row
    int flat = -1;             // the value of every sample, for flat images
    int32_t profilesEnabled = 1;
    Bytes preset{};            // the host's profile before read start
    std::optional<Bytes> profile{};  // the profile the host holds afterwards (empty: no handle)
    std::optional<std::pair<int32_t, int32_t>> resolution{};  // 16.16 pixels per inch
};

Bytes Shared(const char* name) { return FileBytes(TestImage(name)); }

Bytes Join(std::initializer_list<Bytes> parts) {
    Bytes joined;
    for (const Bytes& part : parts) joined.insert(joined.end(), part.begin(), part.end());
    return joined;
}

Bytes Jfif(int units, int x, int y) {
    return SegmentBytes(0xE0, Bytes{'J', 'F', 'I', 'F', 0, 1, 2, static_cast<uint8_t>(units),
                                    static_cast<uint8_t>(x >> 8), static_cast<uint8_t>(x),
                                    static_cast<uint8_t>(y >> 8), static_cast<uint8_t>(y), 0, 0});
}

// The profile chunks of a file's APP2 markers joined in the order they stand.
Bytes IccChunksInFileOrder(const Bytes& jpeg) {
    Bytes joined;
    for (const module_testing::Segment& segment : module_testing::HeaderSegments(jpeg)) {
        if (segment.code == 0xE2 && segment.payload.size() >= 14 &&
            std::memcmp(segment.payload.data(), "ICC_PROFILE", 12) == 0) {
            joined.insert(joined.end(), segment.payload.begin() + 14, segment.payload.end());
        }
    }
    return joined;
}

// A shared image as the peer decoder reads it: its JFIF densities.
peer::Image Peer(const char* name) {
    peer::Image image;
    std::string error;
    EXPECT_TRUE(peer::Decode(Shared(name), &image, &error)) << name << ": " << error;
    EXPECT_TRUE(image.sawJfif) << name;
    return image;
}
std::pair<int32_t, int32_t> Densities(const peer::Image& image) { return {image.xDensity << 16, image.yDensity << 16}; }

TEST_F(ReadTest, ReadStartAnswersForTheHeaderAndTakesProfileAndResolution) {
    const Bytes icc = Shared("test3.icc");
    ASSERT_EQ(icc.size(), 28484u);
    const Bytes part1(icc.begin(), icc.begin() + 9000);
    const Bytes part2(icc.begin() + 9000, icc.begin() + 19000);
    const Bytes part3(icc.begin() + 19000, icc.end());
    const Bytes shuffled = Join({part2, part1, part3});
    const Bytes hostProfile{'h', 'o', 's', 't'};
    const Bytes chunk2 = IccSegment(2, 3, part2), chunk1 = IccSegment(1, 3, part1), chunk3 = IccSegment(3, 3, part3);
    const Bytes notAProfile = SegmentBytes(0xE2, Bytes{'F', 'P', 'X', 'R', 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
    // The identifier alone, one byte short of a chunk header.
    const Bytes shortHeader = SegmentBytes(0xE2, Bytes{'I', 'C', 'C', '_', 'P', 'R', 'O', 'F', 'I', 'L', 'E', 0, 1});
    const Bytes testorig = Shared("testorig.jpg");
    const auto withProfile = [&](std::vector<Bytes> segments) { return InsertAfterSoi(testorig, segments); };
    const Bytes grey8 = JpegBuilder::FlatImage(8, 8, {{1, 1, 1, 0}});
    const auto withJfif = [&](std::vector<Bytes> segments) { return InsertAfterSoi(grey8, segments); };
    const Bytes profileAfterSof = IccChunksInFileOrder(Shared("icc-after-SOF.jpg"));
    ASSERT_FALSE(profileAfterSof.empty());
    const auto cut = [](Bytes bytes, std::size_t size) { return Bytes(bytes.begin(), bytes.begin() + size); };

    const StartCase cases[] = {
        {.name = "arithmetic coding (SOF9)", .file = Shared("testimgari.jpg"), .start = resultCodecFailure},
        {.name = "12-bit samples", .file = Shared("monkey12.jpg"), .start = resultCannotRead},
        {.name = "progressive file cut inside its scans", .file = Shared("truncated_jpeg.jpg"), .start = resultCannotRead},
        {.name = "two components", .file = JpegBuilder::FlatImage(16, 16, {{1, 1, 1, 0}, {2, 1, 1, 0}}),
         .start = resultCannotRead},
        {.name = "EOI before any scan",
         .file = JpegBuilder().Soi().Dqt(0).Sof(0xC0, 16, 16, kColour420).FlatDht(0).Eoi().Bytes(),
         .start = resultCannotRead},
        {.name = "SOI then text", .file = JpegBuilder().Soi().Raw({'n', 'o', 't', 'e', 's', '\n'}).Bytes(),
         .start = resultCannotRead},
        {.name = "cut inside the tables", .file = cut(testorig, 300), .start = resultCannotRead},
        {.name = "lossless process (SOF3)", .file = JpegBuilder().Soi().Dqt(0).Sof(0xC3, 16, 16, kColour420).Bytes(),
         .start = resultCodecFailure},
        // The controls: small flat frames with an allowed component count read as mid-grey (ink 127
        // for CMYK).
        {.name = "three components", .file = JpegBuilder::FlatImage(16, 16, kColour420), .flat = 128},
        {.name = "one component", .file = JpegBuilder::FlatImage(16, 16, {{1, 1, 1, 0}}), .flat = 128},
        {.name = "four components",
         .file = JpegBuilder::FlatImage(16, 16, {{1, 1, 1, 0}, {2, 1, 1, 0}, {3, 1, 1, 0}, {4, 1, 1, 0}}), .flat = 127},

        {.name = "chunks stored 2, 1, 3", .file = withProfile({chunk2, chunk1, chunk3}), .profile = shuffled},
        {.name = "one chunk of the whole profile", .file = withProfile({IccSegment(1, 1, icc)}), .profile = icc},
        {.name = "other APP2 markers around the chunks",
         .file = withProfile({notAProfile, chunk2, shortHeader, chunk1, notAProfile, chunk3}), .profile = shuffled},
        {.name = "profiles disabled", .file = withProfile({chunk2, chunk1, chunk3}), .profilesEnabled = 0,
         .profile = Bytes{}},
        {.name = "profiles disabled, the host's profile stays", .file = withProfile({chunk2, chunk1, chunk3}),
         .profilesEnabled = 0, .preset = hostProfile, .profile = hostProfile},
        {.name = "the chunks follow the host's profile", .file = withProfile({chunk2, chunk1, chunk3}),
         .preset = hostProfile, .profile = Join({hostProfile, shuffled})},
        {.name = "no chunk", .file = withProfile({notAProfile, shortHeader}), .profile = Bytes{}},

        {.name = "aspect ratio 1:1", .file = withJfif({Jfif(0, 1, 1)}), .resolution = {{1 << 16, 1 << 16}}},
        {.name = "dots per inch", .file = withJfif({Jfif(1, 300, 150)}), .resolution = {{300 << 16, 150 << 16}}},
        // The units byte is not consulted: dots per centimetre are taken as per inch.
        {.name = "dots per centimetre", .file = withJfif({Jfif(2, 118, 59)}), .resolution = {{118 << 16, 59 << 16}}},
        {.name = "largest densities", .file = withJfif({Jfif(1, 65535, 32768)}),
         .resolution = {{static_cast<int32_t>(0xFFFF0000u), static_cast<int32_t>(0x80000000u)}}},
        {.name = "the later marker wins", .file = withJfif({Jfif(1, 72, 72), Jfif(1, 600, 300)}),
         .resolution = {{600 << 16, 300 << 16}}},
        {.name = "no JFIF marker", .file = grey8, .resolution = {{kHostResolution, kHostResolution}}},
        {.name = "JFIF payload one byte short",
         .file = withJfif({SegmentBytes(0xE0, Bytes{'J', 'F', 'I', 'F', 0, 1, 2, 1, 0, 72, 0, 72, 0})}),
         .resolution = {{kHostResolution, kHostResolution}}},
        // The shared images, as the peer decoder reads them; one has its profile after the frame header.
        {.name = "jfif_unit_cm.jpg", .file = Shared("jfif_unit_cm.jpg"), .resolution = Densities(Peer("jfif_unit_cm.jpg"))},
        {.name = "testorig.jpg", .file = testorig, .resolution = Densities(Peer("testorig.jpg"))},
        {.name = "icc-after-SOF.jpg", .file = Shared("icc-after-SOF.jpg"), .profile = profileAfterSof,
         .resolution = Densities(Peer("icc-after-SOF.jpg"))},
    };
    TempFolder folder;
    for (const StartCase& item : cases) {
        SCOPED_TRACE(item.name);
        ReadOptions options;
        options.profilesEnabled = item.profilesEnabled;
        options.presetProfile = item.preset;
        options.presetResolution = kHostResolution;
        const ReadOutcome read = ReadJpeg(folder.Write("start.jpg", item.file), options);
        EXPECT_EQ(read.prepare, resultOk);
        ASSERT_EQ(read.start, item.start);
        if (item.start != resultOk) continue;
        EXPECT_EQ(read.failure, resultOk) << "at row " << read.failedRow;
        EXPECT_EQ(read.rowsDelivered, read.rows);
        if (item.flat >= 0) {
            EXPECT_EQ(std::count(read.pixels.begin(), read.pixels.end(), item.flat),
                      static_cast<std::ptrdiff_t>(read.pixels.size()));
        }
        if (item.profile) {
            EXPECT_EQ(read.profileHandle, !item.profile->empty());
            EXPECT_EQ(read.profileSize, static_cast<int32_t>(item.profile->size()));
            EXPECT_TRUE(read.profile == *item.profile) << "profile of " << read.profile.size() << " bytes";
            EXPECT_EQ(read.presetHandleKept, !item.preset.empty()) << "the module replaced the host's handle";
        }
        if (item.resolution) {
            EXPECT_EQ(read.horizontalResolution, item.resolution->first);
            EXPECT_EQ(read.verticalResolution, item.resolution->second);
        }
    }
}

}  // namespace
