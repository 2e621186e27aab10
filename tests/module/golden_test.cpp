// The module's output, byte for byte, against checksums recorded in tests/data/golden.txt: the rows
// every test image decodes to (with the image description and the result codes), and the file
// written for every quality, format and scan script from three pictures (the bundled sample, the
// 227x149 test picture and a 61x37 integer pattern, odd sizes among them). Work on the codec that
// must not change a result (restructuring, speed) keeps this test passing; a deliberate change of
// output rewrites the file (the failure says how).
#include <gtest/gtest.h>

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/module/module_fixture.h"

namespace {

using module_testing::Format;
using module_testing::Picture;
using module_testing::ReadOutcome;
using module_testing::TempFolder;
using module_testing::WriteOptions;
using module_testing::WriteOutcome;
using module_testing::WriteTest;

uint64_t Fnv1a(const std::vector<uint8_t>& bytes) {
    uint64_t hash = 14695981039346656037u;
    for (const uint8_t byte : bytes) hash = (hash ^ byte) * 1099511628211u;
    return hash;
}

// A 61x37 picture from integer arithmetic alone (no floating point that might round otherwise on
// another machine): gradients, a hard-edged block and pseudo-random texture.
Picture PatternPicture() {
    Picture picture;
    picture.name = "pattern61x37";
    picture.width = 61;
    picture.height = 37;
    for (int y = 0; y < picture.height; ++y) {
        for (int x = 0; x < picture.width; ++x) {
            uint32_t h = static_cast<uint32_t>(x) * 0x9E3779B1u ^ static_cast<uint32_t>(y) * 0x85EBCA77u;
            h ^= h >> 13;
            h *= 0xC2B2AE35u;
            h ^= h >> 16;
            const bool block = x > 20 && x < 45 && y > 8 && y < 28;
            picture.rgb.push_back(static_cast<uint8_t>(block ? 230 : x * 4));
            picture.rgb.push_back(static_cast<uint8_t>(block ? 40 : y * 6 + (h & 31)));
            picture.rgb.push_back(static_cast<uint8_t>((x + y) * 3 + (h >> 27)));
        }
    }
    return picture;
}

class GoldenTest : public WriteTest {
protected:
    void Record(const char* format, ...) __attribute__((format(printf, 2, 3))) {
        char line[256];
        va_list arguments;
        va_start(arguments, format);
        std::vsnprintf(line, sizeof line, format, arguments);
        va_end(arguments);
        lines_.emplace_back(line);
    }

    std::vector<std::string> lines_;
};

TEST_F(GoldenTest, DecodedRowsAndWrittenFilesAreUnchanged) {
    // Reads: the bundled sample and every test image.
    const std::filesystem::path data(KV_DATA);
    std::vector<std::string> names{"sample.jpg"};
    for (const auto& entry : std::filesystem::recursive_directory_iterator(data / "images")) {
        if (entry.path().extension() == ".jpg") names.push_back(entry.path().lexically_relative(data).string());
    }
    std::sort(names.begin() + 1, names.end());
    for (const std::string& name : names) {
        module_testing::ReadOptions options;
        options.keepPixels = false;
        const ReadOutcome read = ReadJpeg((data / name).string(), options);
        if (HasFatalFailure()) return;
        Record("read %s start %d failure %d at %d rows %d of %dx%d mode %d profile %d resolution %d %d pixels %016" PRIx64,
               name.c_str(), read.start, read.failure, read.failedRow, read.rowsDelivered, read.columns, read.rows,
               read.mode, read.profileSize, read.horizontalResolution, read.verticalResolution, read.rowChecksum);
    }

    // Writes: every quality, format and scan script, from three pictures.
    struct FormatCase {
        const char* name;
        Format format;
        int16_t scans;
    };
    const FormatCase formats[] = {{"baseline", Format::baseline, 1},
                                  {"optimised", Format::optimised, 1},
                                  {"progressive-3", Format::progressive, 1},
                                  {"progressive-4", Format::progressive, 2},
                                  {"progressive-5", Format::progressive, 3}};
    TempFolder folder;
    const Picture pictures[] = {module_testing::SamplePicture(),
                                module_testing::PpmPicture("testorig", (data / "images/testorig.ppm").string()),
                                PatternPicture()};
    for (const Picture& picture : pictures) {
        ASSERT_FALSE(picture.rgb.empty()) << picture.name;
        for (int16_t quality = 0; quality <= 10; ++quality) {
            for (const FormatCase& format : formats) {
                WriteOptions options;
                options.quality = quality;
                options.format = format.format;
                options.scans = format.scans;
                const WriteOutcome written = WriteJpeg(picture, folder.PathOf("golden.jpg"), options);
                if (HasFatalFailure()) return;
                Record("write %s q%d %s start %d failure %d finish %d bytes %zu file %016" PRIx64, picture.name.c_str(),
                       quality, format.name, written.start, written.failure, written.finish, written.jpeg.size(),
                       Fnv1a(written.jpeg));
            }
        }
    }

    // Against the recorded lines.
    std::vector<std::string> golden;
    std::ifstream in(data / "golden.txt");
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line[0] != '#') golden.push_back(line);
    }
    int differences = 0;
    for (std::size_t i = 0; i < std::max(golden.size(), lines_.size()); ++i) {
        const std::string want = i < golden.size() ? golden[i] : "(nothing)";
        const std::string got = i < lines_.size() ? lines_[i] : "(nothing)";
        if (want != got && ++differences <= 20) ADD_FAILURE() << "recorded: " << want << "\n     now: " << got;
    }
    if (differences > 0) {
        const std::string actual = std::filesystem::absolute("golden-actual.txt").string();
        std::ofstream out(actual);
        out << "# Checksums of the module's output: see tests/module/golden_test.cpp.\n";
        for (const std::string& line : lines_) out << line << "\n";
        ADD_FAILURE() << differences << " of " << lines_.size() << " lines differ. If the change of output is meant, "
                      << "copy " << actual << " over tests/data/golden.txt.";
    }
}

}  // namespace
