// What read start makes of kept markers: ICC profile chunks joined in file order into the host's
// profile handle (or left alone when the host exchanges no profiles), and the resolution from
// JFIF densities.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "tests/module/peer_jpeg.h"
#include "tests/module/read_fixture.h"
#include "tests/support/jpeg_builder.h"

namespace {

using module_testing::FileBytes;
using module_testing::InsertAfterSoi;
using module_testing::ReadOptions;
using module_testing::ReadOutcome;
using module_testing::ReadTest;
using module_testing::SegmentBytes;
using module_testing::TempFolder;
using module_testing::TestImage;
using Bytes = std::vector<uint8_t>;

constexpr int kApp2 = 0xE2;

// An APP2 profile chunk: identifier, sequence number, chunk count, then the chunk.
Bytes IccSegment(int sequence, int count, const Bytes& chunk) {
    static const char kIdentifier[] = "ICC_PROFILE";  // with its terminating zero
    Bytes payload(sizeof kIdentifier + 2 + chunk.size());
    std::copy(kIdentifier, kIdentifier + sizeof kIdentifier, payload.begin());
    payload[sizeof kIdentifier] = static_cast<uint8_t>(sequence);
    payload[sizeof kIdentifier + 1] = static_cast<uint8_t>(count);
    std::copy(chunk.begin(), chunk.end(), payload.begin() + sizeof kIdentifier + 2);
    return SegmentBytes(kApp2, payload);
}

Bytes Join(std::initializer_list<Bytes> parts) {
    Bytes joined;
    for (const Bytes& part : parts) joined.insert(joined.end(), part.begin(), part.end());
    return joined;
}

// The profile chunks of a file's APP2 markers in the order they stand, found by walking its
// segments up to the first scan.
Bytes IccChunksInFileOrder(const Bytes& jpeg) {
    Bytes joined;
    std::size_t at = 2;
    while (at + 4 <= jpeg.size() && jpeg[at] == 0xFF && jpeg[at + 1] != 0xDA) {
        const std::size_t length = (std::size_t{jpeg[at + 2]} << 8) | jpeg[at + 3];
        const uint8_t* payload = jpeg.data() + at + 4;
        if (jpeg[at + 1] == kApp2 && length >= 16 && std::memcmp(payload, "ICC_PROFILE", 12) == 0) {
            joined.insert(joined.end(), payload + 14, payload + length - 2);
        }
        at += 2 + length;
    }
    return joined;
}

struct ProfileCase {
    const char* name;
    std::vector<Bytes> segments;  // put after SOI of testorig.jpg
    int32_t profilesEnabled;
    Bytes preset;                 // the host's profile before read start
    bool expectHandle;
    Bytes expected;               // the profile the host holds after read start
};

TEST_F(ReadTest, ProfileChunksAreJoinedInFileOrder) {
    const Bytes icc = FileBytes(TestImage("test3.icc"));
    ASSERT_EQ(icc.size(), 28484u);
    const Bytes part1(icc.begin(), icc.begin() + 9000);
    const Bytes part2(icc.begin() + 9000, icc.begin() + 19000);
    const Bytes part3(icc.begin() + 19000, icc.end());
    const Bytes shuffled = Join({part2, part1, part3});
    const Bytes hostProfile{'h', 'o', 's', 't'};
    const std::vector<Bytes> chunks213 = {IccSegment(2, 3, part2), IccSegment(1, 3, part1), IccSegment(3, 3, part3)};
    const Bytes notAProfile = SegmentBytes(kApp2, Bytes{'F', 'P', 'X', 'R', 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
    // The identifier alone, one byte short of a chunk header.
    const Bytes shortHeader = SegmentBytes(kApp2, Bytes{'I', 'C', 'C', '_', 'P', 'R', 'O', 'F', 'I', 'L', 'E', 0, 1});

    const ProfileCase cases[] = {
        {"chunks stored 2, 1, 3", chunks213, 1, {}, true, shuffled},
        {"one chunk of the whole profile", {IccSegment(1, 1, icc)}, 1, {}, true, icc},
        {"other APP2 markers around the chunks",
         {notAProfile, chunks213[0], shortHeader, chunks213[1], notAProfile, chunks213[2]}, 1, {}, true, shuffled},
        {"profiles disabled", chunks213, 0, {}, false, {}},
        {"profiles disabled, the host's profile stays", chunks213, 0, hostProfile, true, hostProfile},
        {"the chunks follow the host's profile", chunks213, 1, hostProfile, true, Join({hostProfile, shuffled})},
        {"no chunk", {notAProfile, shortHeader}, 1, {}, false, {}},
    };
    const Bytes base = FileBytes(TestImage("testorig.jpg"));
    TempFolder folder;
    for (const ProfileCase& item : cases) {
        SCOPED_TRACE(item.name);
        ReadOptions options;
        options.profilesEnabled = item.profilesEnabled;
        options.presetProfile = item.preset;
        const ReadOutcome read = ReadJpeg(folder.Write("icc.jpg", InsertAfterSoi(base, item.segments)), options);
        ASSERT_EQ(read.start, resultOk);
        ASSERT_EQ(read.failure, resultOk);
        EXPECT_EQ(read.profileHandle, item.expectHandle);
        EXPECT_EQ(read.profileSize, static_cast<int32_t>(item.expected.size()));
        EXPECT_TRUE(read.profile == item.expected) << "profile of " << read.profile.size() << " bytes";
        if (!item.preset.empty()) {
            EXPECT_TRUE(read.presetHandleKept) << "the module replaced the host's profile handle";
        }
    }
}

TEST_F(ReadTest, AProfileAfterTheFrameHeaderIsTaken) {
    const Bytes file = FileBytes(TestImage("icc-after-SOF.jpg"));
    const Bytes expected = IccChunksInFileOrder(file);
    ASSERT_FALSE(expected.empty());
    const ReadOutcome read = ReadJpeg(TestImage("icc-after-SOF.jpg"));
    ASSERT_EQ(read.start, resultOk);
    EXPECT_EQ(read.profileSize, static_cast<int32_t>(expected.size()));
    EXPECT_TRUE(read.profile == expected);
}

Bytes Jfif(int units, int x, int y) {
    return SegmentBytes(0xE0, Bytes{'J', 'F', 'I', 'F', 0, 1, 2, static_cast<uint8_t>(units),
                                    static_cast<uint8_t>(x >> 8), static_cast<uint8_t>(x),
                                    static_cast<uint8_t>(y >> 8), static_cast<uint8_t>(y), 0, 0});
}

struct ResolutionCase {
    const char* name;
    std::vector<Bytes> segments;  // put after SOI of a flat image without markers
    int32_t horizontal;           // 16.16 pixels per inch after read start
    int32_t vertical;
};

TEST_F(ReadTest, JfifDensitiesGiveTheResolution) {
    constexpr int32_t kHostResolution = 123 << 16;
    const Bytes tooShort = SegmentBytes(0xE0, Bytes{'J', 'F', 'I', 'F', 0, 1, 2, 1, 0, 72, 0, 72, 0});
    const ResolutionCase cases[] = {
        {"aspect ratio 1:1", {Jfif(0, 1, 1)}, 1 << 16, 1 << 16},
        {"dots per inch", {Jfif(1, 300, 150)}, 300 << 16, 150 << 16},
        // The units byte is not consulted: dots per centimetre are taken as per inch.
        {"dots per centimetre", {Jfif(2, 118, 59)}, 118 << 16, 59 << 16},
        {"largest densities", {Jfif(1, 65535, 32768)}, static_cast<int32_t>(0xFFFF0000u), static_cast<int32_t>(0x80000000u)},
        {"the later marker wins", {Jfif(1, 72, 72), Jfif(1, 600, 300)}, 600 << 16, 300 << 16},
        {"no JFIF marker", {}, kHostResolution, kHostResolution},
        {"payload one byte short", {tooShort}, kHostResolution, kHostResolution},
    };
    const Bytes base = testing_support::JpegBuilder::FlatImage(8, 8, {{1, 1, 1, 0}});
    TempFolder folder;
    for (const ResolutionCase& item : cases) {
        SCOPED_TRACE(item.name);
        ReadOptions options;
        options.presetResolution = kHostResolution;
        const ReadOutcome read = ReadJpeg(folder.Write("jfif.jpg", InsertAfterSoi(base, item.segments)), options);
        ASSERT_EQ(read.start, resultOk);
        EXPECT_EQ(read.horizontalResolution, item.horizontal);
        EXPECT_EQ(read.verticalResolution, item.vertical);
    }
}

// The test images' JFIF markers, as the peer decoder reads their densities.
TEST_F(ReadTest, TheSharedImagesResolutionsAreTheirJfifDensities) {
    for (const char* image : {"jfif_unit_cm.jpg", "testorig.jpg", "icc-after-SOF.jpg"}) {
        SCOPED_TRACE(image);
        peer::Image reference;
        std::string error;
        ASSERT_TRUE(peer::Decode(FileBytes(TestImage(image)), &reference, &error)) << error;
        ASSERT_TRUE(reference.sawJfif);
        const ReadOutcome read = ReadJpeg(TestImage(image));
        ASSERT_EQ(read.start, resultOk);
        EXPECT_EQ(read.horizontalResolution, reference.xDensity << 16);
        EXPECT_EQ(read.verticalResolution, reference.yDensity << 16);
    }
}

}  // namespace
