// Upsampling, colour transform and output rows: worked examples of both colour transforms in both
// sample forms, YCCK against inverted RGB, the paths with upsampling against the one without, the
// upsampling rules and the four-line shortcut.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <random>
#include <vector>

#include "codec/codec_context.h"
#include "codec/colour_convert.h"

using namespace kv::codec;

namespace {

int ClampByte(int64_t value) {
    return static_cast<int>(std::clamp<int64_t>(value, 0, 255));
}

constexpr uint8_t kGuard = 0xEE;

// A hand-made image: components with their sampling factors, sample buffers for one MCU row, the
// chroma tables and an output row followed by guard bytes.
struct Picture {
    CodecContext context{};
    std::vector<uint16_t> buffers[4];
    int32_t tableA[2048] = {}, tableB[2048] = {};
    std::vector<uint8_t> row;

    Picture(std::vector<int> h, std::vector<int> v, int width, int transform, int path) {
        const int count = static_cast<int>(h.size());
        context.componentCount = count;
        context.hMax = *std::max_element(h.begin(), h.end());
        context.vMax = *std::max_element(v.begin(), v.end());
        context.width = width;
        context.colourTransform = transform;
        context.colourPath = path;
        context.preciseColour = path >= 2;
        const int mcus = (width + 8 * context.hMax - 1) / (8 * context.hMax);
        for (int c = 0; c < count; ++c) {
            ComponentInfo& component = context.components[c];
            component.h = h[c];
            component.v = v[c];
            component.wideSamples = context.preciseColour && c < 3;
            component.rowWidth = mcus * h[c] * 8 * (component.wideSamples ? 2 : 1);
            buffers[c].assign(static_cast<std::size_t>(component.rowWidth) * 4 * v[c], 0);
            component.samples = reinterpret_cast<uint8_t*>(buffers[c].data());
        }
        context.paddedRowLength = (width + context.hMax - 1) / context.hMax * count * context.hMax;
        row.assign(context.paddedRowLength + 16, kGuard);
        context.outputRow = row.data();
        context.chromaTableA = tableA;
        context.chromaTableB = tableB;
        if (transform != 0) BuildColourTables(&context);
    }
    int Count() const { return context.componentCount; }
    int Pixels() const { return context.paddedRowLength / Count(); }
    uint8_t* At(int c, int r, int x) {
        const ComponentInfo& component = context.components[c];
        return component.samples + r * component.rowWidth + x * (component.wideSamples ? 2 : 1);
    }
    void Set(int c, int r, int x, int value) {
        if (context.components[c].wideSamples) {
            *reinterpret_cast<uint16_t*>(At(c, r, x)) = static_cast<uint16_t>(value);
        } else {
            *At(c, r, x) = static_cast<uint8_t>(value);
        }
    }
    int Get(int c, int r, int x) {
        return context.components[c].wideSamples ? *reinterpret_cast<uint16_t*>(At(c, r, x)) : *At(c, r, x);
    }
    // Fills every sample of every component with random values of its width.
    void Randomise(std::mt19937& random) {
        for (int c = 0; c < Count(); ++c) {
            const int top = context.components[c].wideSamples ? 2047 : 255;
            for (int r = 0; r < 8 * context.components[c].v; ++r)
                for (int x = 0; x < context.components[c].rowWidth / (top == 2047 ? 2 : 1); ++x)
                    Set(c, r, x, random() % 8 == 0 ? (random() & 1) * top : static_cast<int>(random() % (top + 1)));
        }
    }
    int Out(int pixel, int channel) const { return row[pixel * Count() + channel]; }
    bool GuardIntact() const {
        return std::all_of(row.begin() + context.paddedRowLength, row.end(), [](uint8_t b) { return b == kGuard; });
    }
};

// One pixel through either form: samples in, the first three output bytes out.
std::array<int, 3> ConvertOne(bool precise, int transform, int y, int cb, int cr, int k = 0) {
    Picture picture(std::vector<int>(transform == 2 ? 4 : 3, 1), std::vector<int>(transform == 2 ? 4 : 3, 1), 1,
                    transform, precise ? (transform == 2 ? 4 : 2) : 0);
    const int values[4] = {y, cb, cr, k};
    for (int c = 0; c < picture.Count(); ++c) picture.Set(c, 0, 0, values[c]);
    if (precise) {
        ConvertRowPrecise(&picture.context, 0, 0);
    } else {
        ConvertRow(&picture.context, 0, 0);
    }
    if (transform == 2) {
        EXPECT_EQ(picture.Out(0, 3), k) << "K passes unchanged";
    }
    return {picture.Out(0, 0), picture.Out(0, 1), picture.Out(0, 2)};
}

TEST(ColourConvert, WorkedExamples) {
    using Rgb = std::array<int, 3>;
    EXPECT_EQ(ConvertOne(false, 1, 128, 128, 128), (Rgb{128, 128, 128}));
    EXPECT_EQ(ConvertOne(true, 1, 1024, 1024, 1024), (Rgb{128, 128, 128}));
    // Red past 255 and blue below 0 clamp instead of wrapping; then green below 0.
    EXPECT_EQ(ConvertOne(false, 1, 90, 54, 255), (Rgb{255, 25, 0}));
    EXPECT_EQ(ConvertOne(true, 1, 720, 432, 2047), (Rgb{255, 24, 0}));
    EXPECT_EQ(ConvertOne(false, 1, 30, 128, 255), (Rgb{208, 0, 30}));
    EXPECT_EQ(ConvertOne(true, 1, 240, 1024, 2047), (Rgb{209, 0, 30}));
    // YCCK: 255 minus R, G, B of Y 90, Cb 54, Cr 200 (R = 90 + 1.402 x 72 = 190.9, G = 90 + 0.344 x 74
    // - 0.714 x 72 = 64.1, B = 90 - 1.772 x 74 below 0), K apart; the same in 11-bit samples.
    EXPECT_EQ(ConvertOne(false, 2, 90, 54, 200, 77), (Rgb{64, 191, 255}));
    EXPECT_EQ(ConvertOne(true, 2, 720, 432, 1600, 77), (Rgb{64, 191, 255}));
}

TEST(ColourConvert, YcckGivesInvertedCmyAndKeepsK) {
    std::mt19937 random(5);
    for (int precise = 0; precise < 2; ++precise) {
        const int top = precise ? 2047 : 255;
        for (int trial = 0; trial < 3000; ++trial) {
            const int y = random() % (top + 1), cb = random() % (top + 1), cr = random() % (top + 1),
                      k = random() % 256;
            const auto cmy = ConvertOne(precise, 2, y, cb, cr, k);
            const auto rgb = ConvertOne(precise, 1, y, cb, cr);
            for (int c = 0; c < 3; ++c) ASSERT_LE(std::abs(cmy[c] - (255 - rgb[c])), 1) << y << " " << cb << " " << cr;
        }
    }
}

TEST(ConvertRow, FourComponentsWithoutTransformAreDeliveredAsStored) {
    std::mt19937 random(11);
    Picture picture({1, 1, 1, 1}, {1, 1, 1, 1}, 21, 0, 0);
    picture.Randomise(random);
    ConvertRow(&picture.context, 3, 0);
    for (int x = 0; x < picture.Pixels(); ++x)
        for (int c = 0; c < 4; ++c) ASSERT_EQ(picture.Out(x, c), picture.Get(c, 3, x));
    EXPECT_TRUE(picture.GuardIntact());
}

// Rows wide enough for every vector loop (32 and 16 pixels at a time) and the scalar tail, against
// one pixel at a time through the path without upsampling, which takes the scalar loop alone.
TEST(ConvertRowPrecise, FourFourFourAndFourTwoZeroMatchOnePixelAtATime) {
    std::mt19937 random(3);
    for (const int h : {1, 2}) {
        Picture picture({h, 1, 1}, {h, 1, 1}, 101, 1, h == 1 ? 2 : 3);
        picture.Randomise(random);
        for (int line = 0; line < 8; ++line) {
            for (int sub = 0; sub < h; ++sub) {
                ConvertRowPrecise(&picture.context, line, sub);
                for (int x = 0; x < picture.Pixels(); ++x) {
                    // 4:2:0 repeats each chroma sample over two rows and two pixels.
                    const auto expected = ConvertOne(true, 1, picture.Get(0, h * line + sub, x),
                                                     picture.Get(1, line, x / h), picture.Get(2, line, x / h));
                    for (int k = 0; k < 3; ++k) ASSERT_EQ(picture.Out(x, k), expected[k]) << h << line << sub << x;
                }
                EXPECT_TRUE(picture.GuardIntact());
            }
        }
    }
}

TEST(ConvertRow, HorizontalUpsamplingRules) {
    // Component k holds 10 x (k + 1) + 3 x at position x, so every output byte names its source sample
    // and the rounded-up average of two neighbours differs from the rounded-down one.
    const struct {
        std::vector<int> h;
        std::vector<std::vector<int>> firstPixels;  // per component, sample positions of the first pixels
        int path;
    } cases[] = {
        {{2, 1}, {{0, 1, 2, 3}, {0, 0, 1, 1}}, 0},
        {{2, 1, 1}, {{0, 1, 2, 3}, {0, 0, 1, 1}, {0, 0, 1, 1}}, 1},
        {{3, 2, 1}, {{0, 1, 2, 3, 4, 5}, {0, -1, 1, 2, -3, 3}, {0, 0, 0, 1, 1, 1}}, 0},
        {{4, 3, 2, 1}, {{0, 1, 2, 3, 4}, {0, 1, 1, 2, 3}, {0, 0, 1, 1, 2}, {0, 0, 0, 0, 1}}, 0},
    };
    for (const auto& c : cases) {
        Picture picture(c.h, std::vector<int>(c.h.size(), 1), 25, 0, c.path);
        for (int k = 0; k < picture.Count(); ++k)
            for (int x = 0; x < picture.context.components[k].rowWidth; ++x) picture.Set(k, 0, x, 10 * (k + 1) + 3 * x);
        ConvertRow(&picture.context, 0, 0);
        for (int k = 0; k < picture.Count(); ++k) {
            for (std::size_t x = 0; x < c.firstPixels[k].size(); ++x) {
                // A negative entry -n marks the rounded-up average of positions n - 1 and n.
                const int position = c.firstPixels[k][x];
                const int expected = 10 * (k + 1) + (position >= 0 ? 3 * position : -3 * position - 1);
                EXPECT_EQ(picture.Out(static_cast<int>(x), k), expected)
                    << "H " << c.h[0] << " component " << k << " pixel " << x;
            }
        }
        EXPECT_TRUE(picture.GuardIntact());
    }
}

TEST(ConvertRow, VerticalUpsamplingRepeatsRows) {
    // Samples hold their row number; offsets[c][s] is the row within the component's block-line
    // group (V x line) that feeds sub-row s.
    const struct {
        std::vector<int> v;
        std::vector<std::vector<int>> offsets;
    } cases[] = {
        {{4, 1, 2, 3}, {{0, 1, 2, 3}, {0, 0, 0, 0}, {0, 0, 1, 1}, {0, 1, 1, 2}}},
        {{3, 2}, {{0, 1, 2}, {0, 0, 1}}},
    };
    for (const auto& c : cases) {
        Picture picture(std::vector<int>(c.v.size(), 1), c.v, 9, 0, 0);
        for (int k = 0; k < picture.Count(); ++k)
            for (int r = 0; r < 8 * c.v[k]; ++r)
                for (int x = 0; x < 16; ++x) picture.Set(k, r, x, r);
        for (int line = 0; line < 8; ++line) {
            for (int sub = 0; sub < picture.context.vMax; ++sub) {
                ConvertRow(&picture.context, line, sub);
                for (int k = 0; k < picture.Count(); ++k)
                    ASSERT_EQ(picture.Out(5, k), c.v[k] * line + c.offsets[k][sub])
                        << "V " << c.v[k] << " of " << picture.context.vMax;
            }
        }
    }
}

// Runs sub-rows 0..3 of block line 2 with the four-line shortcut and checks that sub-rows 1..3 only
// bring the luma change into the previous row.
void ExpectFourLineShortcut(std::vector<int> h, std::vector<int> v, int transform, int path) {
    std::mt19937 random(17 + transform);
    Picture picture(h, v, 19, transform, path);
    picture.context.fourLine = 1;
    picture.Randomise(random);
    const int count = picture.Count(), line = 2;
    ConvertRow(&picture.context, line, 0);
    for (int sub = 1; sub < 4; ++sub) {
        const std::vector<uint8_t> previous = picture.row;
        ConvertRow(&picture.context, line, sub);
        for (int x = 0; x < picture.Pixels(); ++x) {
            const int lumaNow = picture.Get(0, 4 * line + sub, x),
                      change = lumaNow - picture.Get(0, 4 * line + sub - 1, x);
            for (int k = 0; k < count; ++k) {
                int expected = previous[x * count + k];  // chroma bytes without transform stay
                if (k == 0 && transform == 0) expected = lumaNow;
                if (k < 3 && transform == 1) expected = ClampByte(expected + change);
                if (k < 3 && transform == 2) expected = ClampByte(expected - change);
                if (k == 3) expected = picture.Get(3, 4 * line + sub, x);
                ASSERT_EQ(picture.Out(x, k), expected) << "sub-row " << sub << " pixel " << x << " byte " << k;
            }
        }
        EXPECT_TRUE(picture.GuardIntact());
    }
}

TEST(ConvertRow, FourLineShortcutCorrectsThePreviousRow) {
    ExpectFourLineShortcut({1, 1}, {4, 1}, 0, 0);
    ExpectFourLineShortcut({2, 1, 1}, {4, 1, 1}, 0, 1);
    ExpectFourLineShortcut({4, 2, 2}, {4, 1, 1}, 1, 0);
    ExpectFourLineShortcut({4, 2, 2, 4}, {4, 1, 1, 4}, 2, 0);
}

TEST(ConvertRow, FourLineShortcutKeepsAClampedPreviousRow) {
    Picture picture({4, 2, 2}, {4, 1, 1}, 8, 1, 0);
    picture.context.fourLine = 1;
    picture.Set(0, 0, 0, 250);  // red 250 + 178 clamps to 255
    picture.Set(0, 1, 0, 30);
    picture.Set(1, 0, 0, 128);
    picture.Set(2, 0, 0, 255);
    ConvertRow(&picture.context, 0, 0);
    EXPECT_EQ(picture.Out(0, 0), 255);
    ConvertRow(&picture.context, 0, 1);
    EXPECT_EQ(picture.Out(0, 0), 35) << "255 + (30 - 250)";
    picture.context.fourLine = 0;
    ConvertRow(&picture.context, 0, 1);
    EXPECT_EQ(picture.Out(0, 0), 208) << "a full conversion gives 30 + 178";
}

TEST(ConvertRowPrecise, TallLumaRowsAreAlwaysConvertedInFull) {
    // The four-line shortcut belongs to the 8-bit form: with the flag set, precise rows still come
    // out as full conversions.
    std::mt19937 randomA(5);
    std::mt19937 randomB(5);
    Picture shortcut({1, 1, 1}, {4, 1, 1}, 19, 1, 2);
    Picture full({1, 1, 1}, {4, 1, 1}, 19, 1, 2);
    shortcut.Randomise(randomA);
    full.Randomise(randomB);
    shortcut.context.fourLine = 1;
    full.context.fourLine = 0;
    for (int sub = 0; sub < 4; ++sub) {
        ConvertRowPrecise(&shortcut.context, 1, sub);
        const std::vector<uint8_t> withFlag = shortcut.row;
        ConvertRowPrecise(&full.context, 1, sub);
        EXPECT_EQ(withFlag, full.row) << "sub-row " << sub;
    }
}

TEST(ColourConvertDeathTest, TheWrongFormForThePathIsABug) {
    Picture bytes({2, 1, 1}, {1, 1, 1}, 8, 0, 1);
    EXPECT_EXIT(ConvertRowPrecise(&bytes.context, 0, 0), ::testing::ExitedWithCode(1), "BUG at");
    Picture precise({2, 1, 1}, {1, 1, 1}, 8, 1, 3);
    EXPECT_EXIT(ConvertRow(&precise.context, 0, 0), ::testing::ExitedWithCode(1), "BUG at");
}

}  // namespace
