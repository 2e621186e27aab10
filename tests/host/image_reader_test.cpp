// kvhost's image readers: every kind of file kvhost write takes comes out as the RGB rows the host
// hands the module (grey repeated, wide samples scaled, palettes expanded, alpha dropped), with its
// resolution; files it cannot take are refused with a reason, and damage shows up at the row.
#include <gtest/gtest.h>
#include <png.h>

#include <csetjmp>
#include <cstdio>
#include <string>
#include <vector>

#include "host/kvhost/image_reader.h"
#include "tests/support/test_support.h"

namespace {

using testing_support::ScratchFile;
using kvhost::ImageReader;
using kvhost::OpenImageReader;

std::string Bytes(std::initializer_list<int> values) {
    std::string bytes;
    for (int value : values) bytes.push_back(static_cast<char>(value));
    return bytes;
}

// A PNG file's bytes, made with libpng from raw PNG rows; a resolution (pHYs, in pixels per metre)
// and a palette when given.
std::string MakePng(int width, int height, int colourType, int bitDepth, std::vector<std::vector<uint8_t>> rows,
                    bool interlaced = false, uint32_t pixelsPerMetre = 0, std::vector<png_color> palette = {}) {
    ScratchFile file;
    std::FILE* out = std::fopen(file.Path().c_str(), "wb");
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    std::vector<png_bytep> pointers;  // made before the jump buffer is armed, so a jump skips no destructor
    for (auto& row : rows) pointers.push_back(row.data());
    if (setjmp(png_jmpbuf(png))) {
        ADD_FAILURE() << "libpng could not write the test PNG";
        png_destroy_write_struct(&png, &info);
        std::fclose(out);
        return {};
    }
    png_init_io(png, out);
    png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), bitDepth, colourType,
                 interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (!palette.empty()) png_set_PLTE(png, info, palette.data(), static_cast<int>(palette.size()));
    if (pixelsPerMetre != 0) png_set_pHYs(png, info, pixelsPerMetre, pixelsPerMetre, PNG_RESOLUTION_METER);
    png_write_info(png, info);
    png_write_image(png, pointers.data());
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    std::fclose(out);
    const std::vector<uint8_t> bytes = file.Contents();
    return std::string(bytes.begin(), bytes.end());
}

struct ReadCase {
    const char* name;
    std::string file;
    const char* kind;
    int width;
    int height;
    bool grey;
    bool alphaDropped;
    int bitsPerSample;
    std::vector<uint8_t> rgb;  // every row
    uint32_t density = 0;      // 16.16 ppi
};

std::vector<ReadCase> ReadCases() {
    std::vector<ReadCase> cases;
    cases.push_back({"PPM", "P6\n2 1\n255\n" + Bytes({1, 2, 3, 250, 251, 252}), "PPM", 2, 1, false, false, 8,
                     {1, 2, 3, 250, 251, 252}});
    // Comments anywhere in the header; samples scaled from 15 levels.
    cases.push_back({"PGM with comments, maxval 15", "P5 # made by hand\n3 # wide\n1\n15\n" + Bytes({0, 7, 15}), "PGM",
                     3, 1, true, false, 4, {0, 0, 0, 119, 119, 119, 255, 255, 255}});
    // Two bytes per sample above 255, most significant first.
    cases.push_back({"PPM with 16-bit samples", "P6\n1 2\n1000\n" + Bytes({0, 0, 1, 244, 3, 232, 0, 4, 0, 0, 3, 231}),
                     "PPM", 1, 2, false, false, 10, {0, 128, 255, 1, 0, 255}});
    cases.push_back({"PAM grey", "P7\nWIDTH 2\nHEIGHT 1\nDEPTH 1\nMAXVAL 255\nTUPLTYPE GRAYSCALE\nENDHDR\n" + Bytes({9, 200}),
                     "PAM", 2, 1, true, false, 8, {9, 9, 9, 200, 200, 200}});
    cases.push_back({"PAM grey with alpha", "P7\nWIDTH 2\nHEIGHT 1\nDEPTH 2\nMAXVAL 255\nTUPLTYPE GRAYSCALE_ALPHA\nENDHDR\n" +
                         Bytes({9, 0, 200, 255}),
                     "PAM", 2, 1, true, true, 8, {9, 9, 9, 200, 200, 200}});
    cases.push_back({"PAM RGB with alpha", "P7\nHEIGHT 1\nWIDTH 1\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n" +
                         Bytes({10, 20, 30, 0}),
                     "PAM", 1, 1, false, true, 8, {10, 20, 30}});
    cases.push_back({"PAM of depth 3 without a tuple type",
                     "P7\nWIDTH 1\nHEIGHT 1\nDEPTH 3\nMAXVAL 255\nENDHDR\n" + Bytes({10, 20, 30}), "PAM", 1, 1, false,
                     false, 8, {10, 20, 30}});

    const std::vector<std::vector<uint8_t>> rgb = {{1, 2, 3, 4, 5, 6}, {7, 8, 9, 10, 11, 12}};
    const std::vector<uint8_t> rgbPixels = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    // 11811 pixels per metre are 299.9994 ppi, as 300 ppi is stored.
    cases.push_back({"PNG RGB with pHYs", MakePng(2, 2, PNG_COLOR_TYPE_RGB, 8, rgb, false, 11811), "PNG", 2, 2, false,
                     false, 8, rgbPixels, 300u << 16});
    cases.push_back({"PNG RGB interlaced", MakePng(2, 2, PNG_COLOR_TYPE_RGB, 8, rgb, true), "PNG", 2, 2, false, false, 8,
                     rgbPixels});
    cases.push_back({"PNG grey", MakePng(2, 2, PNG_COLOR_TYPE_GRAY, 8, {{0, 255}, {100, 7}}), "PNG", 2, 2, true, false, 8,
                     {0, 0, 0, 255, 255, 255, 100, 100, 100, 7, 7, 7}});
    cases.push_back({"PNG grey 1-bit", MakePng(3, 1, PNG_COLOR_TYPE_GRAY, 1, {{0xA0}}), "PNG", 3, 1, true, false, 1,
                     {255, 255, 255, 0, 0, 0, 255, 255, 255}});  // 1 0 1
    cases.push_back({"PNG palette",
                     MakePng(2, 2, PNG_COLOR_TYPE_PALETTE, 8, {{1, 0}, {0, 0}}, false, 0, {{200, 10, 20}, {0, 128, 255}}),
                     "PNG", 2, 2, false, false, 8, {0, 128, 255, 200, 10, 20, 200, 10, 20, 200, 10, 20}});
    cases.push_back({"PNG RGB 16-bit", MakePng(1, 1, PNG_COLOR_TYPE_RGB, 16, {{0xFF, 0xFF, 0x80, 0x80, 0x00, 0x7F}}), "PNG",
                     1, 1, false, false, 16, {255, 128, 0}});
    cases.push_back({"PNG RGBA", MakePng(1, 1, PNG_COLOR_TYPE_RGB_ALPHA, 8, {{40, 50, 60, 0}}), "PNG", 1, 1, false, true,
                     8, {40, 50, 60}});
    return cases;
}

TEST(ImageReaderTest, EveryKindComesOutAsRgbRows) {
    for (const ReadCase& item : ReadCases()) {
        SCOPED_TRACE(item.name);
        ScratchFile file(item.file);
        std::string error;
        const std::unique_ptr<ImageReader> reader = OpenImageReader(file.Path(), &error);
        ASSERT_NE(reader, nullptr) << error;
        const kvhost::SourceInfo& info = reader->Info();
        EXPECT_STREQ(info.kind, item.kind);
        EXPECT_EQ(info.width, item.width);
        EXPECT_EQ(info.height, item.height);
        EXPECT_EQ(info.grey, item.grey);
        EXPECT_EQ(info.alphaDropped, item.alphaDropped);
        EXPECT_EQ(info.bitsPerSample, item.bitsPerSample);
        EXPECT_EQ(info.xDensity, item.density);
        EXPECT_EQ(info.yDensity, item.density);
        std::vector<uint8_t> rows;
        // One spare byte past the row, which no reader may touch.
        std::vector<uint8_t> row(static_cast<std::size_t>(item.width) * 3 + 1, 0xA5);
        for (int y = 0; y < item.height; ++y) {
            ASSERT_TRUE(reader->ReadRow(row.data())) << "row " << y << ": " << reader->Error();
            rows.insert(rows.end(), row.begin(), row.end() - 1);
            EXPECT_EQ(row.back(), 0xA5);
        }
        EXPECT_EQ(rows, item.rgb);
    }
}

struct RefusalCase {
    const char* name;
    std::string file;
    const char* reason;  // a part of the error
};

TEST(ImageReaderTest, FilesTheHostCannotHandOverAreRefusedWithTheReason) {
    const RefusalCase cases[] = {
        {"plain PPM", "P3\n1 1\n255\n1 2 3\n", "plain (text) or bitmap netpbm file (P3)"},
        {"bitmap", "P4\n8 1\n\xff", "(P4)"},
        {"no pixels", "P6\n0 5\n255\n", "no pixels (0 x 5)"},
        {"too wide", "P6\n40000 1\n255\n", "40000 x 1, larger than the host's largest frame (32767 x 32767)"},
        {"too wide PNG", MakePng(32768, 1, PNG_COLOR_TYPE_GRAY, 8, {std::vector<uint8_t>(32768, 0)}), "32768 x 1, larger than"},
        {"maximum value 0", "P5\n1 1\n0\n\x00", "maximum sample value 0 is outside 1 to 65535"},
        {"header cut short", "P6\n3", "PPM header is damaged or cut short"},
        {"number too long", "P5\n1234567890 1\n255\n", "PGM header is damaged"},
        {"CMYK PAM", "P7\nWIDTH 1\nHEIGHT 1\nDEPTH 4\nMAXVAL 255\nTUPLTYPE CMYK\nENDHDR\n\1\2\3\4", "CMYK PAM cannot be written"},
        {"depth 4 without a tuple type", "P7\nWIDTH 1\nHEIGHT 1\nDEPTH 4\nMAXVAL 255\nENDHDR\n", "depth 4 without a TUPLTYPE"},
        {"tuple type and depth disagree", "P7\nWIDTH 1\nHEIGHT 1\nDEPTH 3\nMAXVAL 255\nTUPLTYPE GRAYSCALE\nENDHDR\n",
         "has depth 1, not 3"},
        {"unknown PAM line", "P7\nWIDTH 1\nHEIGHT 1\nCOLOUR 3\nENDHDR\n", "unknown line 'COLOUR'"},
        {"PAM without ENDHDR", "P7\nWIDTH 1\nHEIGHT 1\nDEPTH 3\nMAXVAL 255\n", "PAM header is damaged"},
        {"text", "hello, world\n", "not an image kvhost reads"},
        {"empty file", "", "not an image kvhost reads"},
        {"PNG signature only", Bytes({0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'}), "PNG: "},
    };
    for (const RefusalCase& item : cases) {
        SCOPED_TRACE(item.name);
        ScratchFile file(item.file);
        std::string error;
        EXPECT_EQ(OpenImageReader(file.Path(), &error), nullptr);
        EXPECT_NE(error.find(item.reason), std::string::npos) << "the error was: " << error;
    }
    std::string error;
    EXPECT_EQ(OpenImageReader("/nonexistent/picture.ppm", &error), nullptr);
    EXPECT_NE(error.find("cannot open: "), std::string::npos) << error;
}

TEST(ImageReaderTest, DamageInTheSamplesFailsAtItsRow) {
    std::vector<std::vector<uint8_t>> rows(64, std::vector<uint8_t>(64 * 3));
    for (std::size_t y = 0; y < 64; ++y) {
        for (std::size_t x = 0; x < rows[y].size(); ++x) rows[y][x] = static_cast<uint8_t>(x * 7 + y * 13);
    }
    const std::string png = MakePng(64, 64, PNG_COLOR_TYPE_RGB, 8, rows);
    struct DamageCase {
        const char* name;
        std::string file;
        int goodRows;        // rows that read before the damage
        const char* reason;
    };
    const DamageCase cases[] = {
        {"PPM cut in its second row", "P6\n2 3\n255\n" + std::string(6 + 4, '\x10'), 1, "ends before its last row"},
        {"PGM sample above the maximum", "P5\n2 2\n10\n" + Bytes({1, 2, 3, 11}), 1, "a sample of 11 is above the maximum value 10"},
        {"PNG cut in its data", png.substr(0, png.size() / 2), -1, "PNG: "},
    };
    for (const DamageCase& item : cases) {
        SCOPED_TRACE(item.name);
        ScratchFile file(item.file);
        std::string error;
        const std::unique_ptr<ImageReader> reader = OpenImageReader(file.Path(), &error);
        ASSERT_NE(reader, nullptr) << error;
        std::vector<uint8_t> row(static_cast<std::size_t>(reader->Info().width) * 3);
        int good = 0;
        while (good < reader->Info().height && reader->ReadRow(row.data())) ++good;
        EXPECT_LT(good, reader->Info().height);
        if (item.goodRows >= 0) {
            EXPECT_EQ(good, item.goodRows);
        }
        EXPECT_NE(reader->Error().find(item.reason), std::string::npos) << "the error was: " << reader->Error();
    }
}

}  // namespace
