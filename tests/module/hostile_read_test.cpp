// Hundreds of damaged JPEG files, made from real ones by deterministic mutations (bytes flipped in
// the headers and the scans, segment lengths changed, cuts at every kind of place, random garbage
// after SOI): each must end in one of the documented result codes, never crash or hang, and leave
// no host handle alive. Every mutation is reproducible from its file name and number.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/module/read_fixture.h"

namespace {

using module_testing::FileBytes;
using module_testing::ReadOptions;
using module_testing::ReadOutcome;
using module_testing::ReadTest;
using module_testing::TempFolder;
using module_testing::TestImage;

// A small deterministic generator, so that a failing case can be rebuilt from its seed.
struct Random {
    uint64_t state;
    uint32_t Next() {
        state = state * 6364136223846793005u + 1442695040888963407u;
        return static_cast<uint32_t>(state >> 33);
    }
    uint32_t Below(uint32_t n) { return n == 0 ? 0 : Next() % n; }
};

// Offsets of the marker segments (0xFF and a code other than 0x00 or 0xFF) before the first scan.
std::vector<std::size_t> SegmentStarts(const std::vector<uint8_t>& bytes) {
    std::vector<std::size_t> starts;
    for (std::size_t i = 2; i + 3 < bytes.size();) {
        if (bytes[i] != 0xFF) break;
        starts.push_back(i);
        const std::size_t length = (static_cast<std::size_t>(bytes[i + 2]) << 8) | bytes[i + 3];
        if (bytes[i + 1] == 0xDA) break;
        i += 2 + length;
    }
    return starts;
}

std::vector<uint8_t> Mutate(const std::vector<uint8_t>& original, int kind, Random& random) {
    std::vector<uint8_t> bytes = original;
    const std::vector<std::size_t> segments = SegmentStarts(bytes);
    const std::size_t headerEnd = segments.empty() ? 2 : segments.back() + 2;
    switch (kind) {
        case 0: {  // a few bytes of the headers changed
            for (int i = 0; i < 3; ++i) bytes[2 + random.Below(static_cast<uint32_t>(headerEnd - 2))] = static_cast<uint8_t>(random.Next());
            break;
        }
        case 1: {  // a segment length made larger or smaller
            if (segments.empty()) break;
            const std::size_t at = segments[random.Below(static_cast<uint32_t>(segments.size()))];
            bytes[at + 2] = static_cast<uint8_t>(random.Below(3) == 0 ? 0xFF : random.Next());
            bytes[at + 3] = static_cast<uint8_t>(random.Next());
            break;
        }
        case 2: {  // bytes of the entropy-coded data changed, 0xFF included
            for (int i = 0; i < 8; ++i) {
                const std::size_t at = headerEnd + random.Below(static_cast<uint32_t>(bytes.size() - headerEnd));
                bytes[at] = random.Below(4) == 0 ? 0xFF : static_cast<uint8_t>(random.Next());
            }
            break;
        }
        case 3:  // cut anywhere
            bytes.resize(2 + random.Below(static_cast<uint32_t>(bytes.size() - 2)));
            break;
        case 4: {  // a segment repeated (second SOF, DHT or DQT between scans)
            if (segments.size() < 2) break;
            const std::size_t index = 1 + random.Below(static_cast<uint32_t>(segments.size() - 1));
            const std::size_t from = segments[index - 1];
            const std::size_t to = segments[index];
            bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(to), original.begin() + static_cast<std::ptrdiff_t>(from),
                         original.begin() + static_cast<std::ptrdiff_t>(to));
            break;
        }
        default: {  // SOI and garbage
            bytes.resize(2 + random.Below(400));
            for (std::size_t i = 2; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(random.Next());
            break;
        }
    }
    return bytes;
}

bool Documented(int16_t code) {
    switch (code) {
        case resultOk:
        case resultCannotRead:
        case resultCodecFailure:
        case resultOutOfMemory:
            return true;
        default:
            return false;
    }
}

TEST_F(ReadTest, DamagedFilesEndInDocumentedResultsWithoutLeaks) {
    const char* sources[] = {"testorig.jpg", "gen/prog420.jpg", "gen/rst1row.jpg", "gen/proggrey.jpg",
                             "gen/base444.jpg", "hopper_16bit_qtables.jpg", "icc-after-SOF.jpg"};
    const int kMutationsPerKind = 12;
    TempFolder folder;
    int files = 0;
    int refused = 0;
    for (const char* source : sources) {
        const std::vector<uint8_t> original = FileBytes(TestImage(source));
        ASSERT_GT(original.size(), 100u) << source;
        for (int kind = 0; kind < 6; ++kind) {
            for (int n = 0; n < kMutationsPerKind; ++n) {
                Random random{static_cast<uint64_t>(kind * 1000 + n) * 7919u + original.size()};
                const std::string path = folder.Write("damaged.jpg", Mutate(original, kind, random));
                ReadOptions options;
                options.keepPixels = false;
                const ReadOutcome outcome = ReadJpeg(path, options);
                const std::string name = std::string(source) + " kind " + std::to_string(kind) + " #" + std::to_string(n);
                EXPECT_TRUE(Documented(outcome.start)) << name << ": read start answered " << outcome.start;
                EXPECT_TRUE(Documented(outcome.failure)) << name << ": read continue answered " << outcome.failure;
                refused += outcome.start != resultOk || outcome.failure != resultOk;
                ++files;
                if (HasFailure()) return;
            }
        }
    }
    EXPECT_EQ(files, 7 * 6 * kMutationsPerKind);
    EXPECT_GT(refused, files / 4) << "the mutations should damage most files";
    std::printf("%d damaged files read, %d refused\n", files, refused);
}

TEST_F(ReadTest, AFailedReadAnswersTheSameUntilItIsFinished) {
    // A host that keeps asking after a failed row must get the same answer and no further rows.
    // A run of 64 one bits (stuffed 0xFF bytes) in the scan data holds 16 ones where a code must
    // start, which no table has; it is tried at a few places until one makes the read fail part-way.
    const std::vector<uint8_t> original = FileBytes(TestImage("testorig.jpg"));
    TempFolder folder;
    bool tried = false;
    for (std::size_t at = original.size() / 3; at + 4 < original.size() && !tried; at += 37) {
        std::vector<uint8_t> bytes = original;
        const uint8_t ones[16] = {0xFF, 0, 0xFF, 0, 0xFF, 0, 0xFF, 0, 0xFF, 0, 0xFF, 0, 0xFF, 0, 0xFF, 0};
        bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(at), ones, ones + 16);
        ASSERT_TRUE(Host().OpenForReading(folder.Write("damaged.jpg", bytes)));
        ASSERT_EQ(Call(selectorReadPrepare), resultOk);
        ASSERT_EQ(Call(selectorReadStart), resultOk);
        int16_t failure = resultOk;
        for (int row = 0; row < 200; ++row) {
            failure = Call(selectorReadContinue);
            if (failure != resultOk || Record()->rowData == nullptr) break;
        }
        if (failure != resultOk) {
            tried = true;
            const std::size_t progress = Host().ProgressCalls().size();
            for (int again = 0; again < 5; ++again) EXPECT_EQ(Call(selectorReadContinue), failure);
            EXPECT_EQ(Host().ProgressCalls().size(), progress) << "rows were delivered after the failure";
        }
        EXPECT_EQ(Call(selectorReadFinish), resultOk);
        Host().CloseFile();
        Host().ResetScripts();
    }
    EXPECT_TRUE(tried) << "no damage made the read fail part-way";
}

// Files the fuzzer found, named after their fault, each kept because it once made the module fail.
// luma-scan-before-chroma.jpg: a baseline colour frame whose first scan codes luma alone, so its
// rows are delivered while the chroma buffers hold nothing any scan wrote.
TEST_F(ReadTest, FilesFoundByFuzzingEndCleanly) {
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(KV_HOSTILE)) {
        ReadOptions options;
        options.keepPixels = false;
        const ReadOutcome outcome = ReadJpeg(entry.path().string(), options);
        EXPECT_TRUE(Documented(outcome.start)) << entry.path() << ": read start answered " << outcome.start;
        EXPECT_TRUE(Documented(outcome.failure)) << entry.path() << ": read continue answered " << outcome.failure;
        ++files;
    }
    EXPECT_GE(files, 1);
}

}  // namespace
