// Decoded pixels through the dlopen'd module against the peer decoder: every readable test
// image within a few levels; the same coefficients in other codings (optimised tables, restart
// markers, progressive scans) to identical rows; four-component images inverted as the host's ink.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/module/peer_jpeg.h"
#include "tests/module/module_fixture.h"

namespace {

using module_testing::Compare;
using module_testing::Difference;
using module_testing::ReadOutcome;
using module_testing::ReadTest;
using module_testing::TempFolder;
using module_testing::TestImage;

// Shared test images the module must refuse; every other .jpg there must decode.
const char* const kRefusedImages[] = {"testimgari.jpg", "monkey12.jpg", "truncated_jpeg.jpg"};

// The .jpg files of the test images folder and its subfolders, relative to it, sorted.
std::vector<std::string> TestJpegFiles() {
    std::vector<std::string> names;
    const std::filesystem::path root(TestImage(""));
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        if (entry.path().extension() == ".jpg") names.push_back(entry.path().lexically_relative(root).string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool IsRefused(const std::string& name) {
    return std::any_of(std::begin(kRefusedImages), std::end(kRefusedImages),
                       [&](const char* refused) { return name == refused; });
}

// The channel fields the host expects for each image mode.
void ExpectModeFields(const ReadOutcome& read) {
    EXPECT_TRUE(read.planes == 1 || read.planes == 3 || read.planes == 4) << "planes " << read.planes;
    EXPECT_EQ(read.mode, read.planes);  // grey 1, RGB 3, CMYK 4
    EXPECT_EQ(read.planeStep, read.planes == 1 ? 0 : 1) << "planeStep is the host's for grey images";
    EXPECT_EQ(read.firstPlane, 0);
    EXPECT_EQ(read.lastPlane, read.planes - 1);
    EXPECT_EQ(read.columnStep, read.planes);
}

std::string Decibels(double psnr) {
    if (std::isinf(psnr)) return "inf";
    char text[16];
    std::snprintf(text, sizeof text, "%.1f", psnr);
    return text;
}

TEST_F(ReadTest, EveryReadableTestImageDecodesWithinAFewLevelsOfThePeerDecoder) {
    const std::vector<std::string> names = TestJpegFiles();
    // The folder holds 9 readable images and 10 generated ones; an empty glob must not pass.
    ASSERT_GE(names.size(), 19u) << "test images missing from " << TestImage("");

    std::printf("%-28s %9s %5s %9s %8s\n", "file", "size", "mode", "PSNR dB", "max diff");
    int decoded = 0;
    for (const std::string& name : names) {
        if (IsRefused(name)) continue;
        SCOPED_TRACE(name);
        const ReadOutcome read = ReadJpeg(TestImage(name));
        ASSERT_EQ(read.start, resultOk);
        ASSERT_EQ(read.failure, resultOk) << "at row " << read.failedRow;
        EXPECT_EQ(read.finish, resultOk);
        ExpectModeFields(read);

        std::vector<uint8_t> bytes;
        ASSERT_TRUE(peer::ReadFile(TestImage(name), &bytes));
        peer::Image reference;
        std::string error;
        ASSERT_TRUE(peer::Decode(bytes, &reference, &error)) << error;
        ASSERT_EQ(read.columns, reference.width);
        ASSERT_EQ(read.rows, reference.height);
        ASSERT_EQ(read.planes, reference.channels);

        const Difference difference = Compare(read.pixels, reference.pixels);
        const std::string size = std::to_string(read.columns) + "x" + std::to_string(read.rows);
        std::printf("%-28s %9s %5d %9s %8d\n", name.c_str(), size.c_str(), read.mode,
                    Decibels(difference.psnr).c_str(), difference.maxDifference);
        EXPECT_GE(difference.psnr, 44.0);
        EXPECT_LE(difference.maxDifference, 8);
        ++decoded;
    }
    EXPECT_EQ(decoded, static_cast<int>(names.size()) - static_cast<int>(std::size(kRefusedImages)));
}

struct CodingCase {
    const char* name;
    peer::Recoding recoding;
};

// The codings of the same coefficients the module must decode identically.
const CodingCase kCodings[] = {
    {"optimised tables", {true, 0, false}},
    {"restart every MCU", {false, 1, false}},
    {"restart every 7 MCUs", {false, 7, false}},
    {"progressive", {false, 0, true}},
    {"progressive, restart every MCU", {false, 1, true}},
    {"progressive, restart every 5 MCUs", {false, 5, true}},
};

struct SourceCase {
    const char* name;
    // Either a test image, or a synthetic photo of this size, channels, sampling and quality.
    const char* image;
    int width, height, channels, lumaH, lumaV, quality;
};

const SourceCase kSources[] = {
    {"colour 4:2:0", "gen/base420.jpg", 0, 0, 0, 0, 0, 0},
    {"colour 4:4:4", "gen/base444.jpg", 0, 0, 0, 0, 0, 0},
    {"colour 4:2:2", "gen/base422.jpg", 0, 0, 0, 0, 0, 0},
    {"grey", "gen/grey.jpg", 0, 0, 0, 0, 0, 0},
    // Fine quantisers: 16-bit cells for every component of the progressive planes.
    {"colour 4:2:0 q95", nullptr, 301, 203, 3, 2, 2, 95},
    {"colour 4:4:4 q95", nullptr, 301, 203, 3, 1, 1, 95},
    // Coarse quantisers: byte cells.
    {"colour 4:2:0 q50", nullptr, 301, 203, 3, 2, 2, 50},
    {"grey q50", nullptr, 301, 203, 1, 1, 1, 50},
    {"grey q95", nullptr, 301, 203, 1, 1, 1, 95},
};

TEST_F(ReadTest, TheSameCoefficientsInAnyCodingDecodeToIdenticalRows) {
    TempFolder folder;
    for (const SourceCase& source : kSources) {
        SCOPED_TRACE(source.name);
        std::vector<uint8_t> original;
        std::string error;
        if (source.image != nullptr) {
            ASSERT_TRUE(peer::ReadFile(TestImage(source.image), &original));
        } else {
            peer::SyntheticPhoto photo(source.width, source.height, source.channels);
            peer::EncodeSettings settings;
            settings.quality = source.quality;
            settings.channels = source.channels;
            settings.lumaH = source.lumaH;
            settings.lumaV = source.lumaV;
            ASSERT_TRUE(peer::Encode(source.width, source.height, settings, photo.Source(), &original, &error)) << error;
        }
        const ReadOutcome expected = ReadJpeg(folder.Write("original.jpg", original));
        ASSERT_EQ(expected.start, resultOk);
        ASSERT_EQ(expected.failure, resultOk);
        ASSERT_EQ(expected.rowsDelivered, expected.rows);

        for (const CodingCase& coding : kCodings) {
            SCOPED_TRACE(coding.name);
            std::vector<uint8_t> recoded;
            ASSERT_TRUE(peer::Recode(original, coding.recoding, &recoded, &error)) << error;
            ASSERT_NE(recoded, original) << "the re-coding changed nothing";
            const ReadOutcome read = ReadJpeg(folder.Write("recoded.jpg", recoded));
            ASSERT_EQ(read.start, resultOk);
            ASSERT_EQ(read.failure, resultOk) << "at row " << read.failedRow;
            EXPECT_EQ(read.rows, expected.rows);
            EXPECT_EQ(read.columns, expected.columns);
            EXPECT_EQ(read.mode, expected.mode);
            const std::size_t firstDifference =
                std::mismatch(read.pixels.begin(), read.pixels.end(), expected.pixels.begin(), expected.pixels.end())
                    .first -
                read.pixels.begin();
            EXPECT_TRUE(read.pixels == expected.pixels)
                << "first difference in row " << firstDifference / static_cast<std::size_t>(expected.rowStep);
        }
    }
}

// A four-component frame without a colour transform holds CMYK as stored; the host takes it as
// ink, 255 minus the stored value.
TEST_F(ReadTest, FourComponentImagesArriveAsInk) {
    TempFolder folder;
    struct InkCase {
        const char* name;
        bool flat;  // one colour: every block is DC only, which both decoders reconstruct exactly
        int width, height;
    };
    const InkCase cases[] = {{"flat colour", true, 40, 24}, {"photo", false, 120, 77}};
    for (const InkCase& item : cases) {
        SCOPED_TRACE(item.name);
        peer::SyntheticPhoto photo(item.width, item.height, 4);
        const peer::RowSource flat = [&](int, uint8_t* pixels) {
            for (int x = 0; x < item.width; ++x) {
                const uint8_t ink[4] = {10, 200, 60, 30};
                std::copy(ink, ink + 4, pixels + 4 * x);
            }
        };
        peer::EncodeSettings settings;
        settings.channels = 4;
        std::vector<uint8_t> jpeg;
        std::string error;
        ASSERT_TRUE(peer::Encode(item.width, item.height, settings, item.flat ? flat : photo.Source(), &jpeg, &error))
            << error;
        peer::Image reference;
        ASSERT_TRUE(peer::Decode(jpeg, &reference, &error)) << error;
        ASSERT_EQ(reference.channels, 4);

        const ReadOutcome read = ReadJpeg(folder.Write("cmyk.jpg", jpeg));
        ASSERT_EQ(read.start, resultOk);
        ASSERT_EQ(read.failure, resultOk);
        ExpectModeFields(read);
        std::vector<uint8_t> ink(reference.pixels.size());
        std::transform(reference.pixels.begin(), reference.pixels.end(), ink.begin(),
                       [](uint8_t value) { return static_cast<uint8_t>(255 - value); });
        const Difference difference = Compare(read.pixels, ink);
        if (item.flat) {
            EXPECT_EQ(difference.maxDifference, 0);
        } else {
            EXPECT_GE(difference.psnr, 44.0);
            EXPECT_LE(difference.maxDifference, 8);
        }
    }
}

}  // namespace
