// Reads that cannot complete, through the dlopen'd module: files that end too soon, a user who
// cancels, a host that runs out of memory at each allocation, and hundreds of damaged files made
// from real ones by deterministic mutations (bytes flipped in the headers and the scans, segment
// lengths changed, cuts at every kind of place, random garbage after SOI) beside the files the
// fuzzer found. Each answers a documented result code at the right selector and row, the rows
// before a failure are the rows of the whole file, nothing crashes or hangs, and no host handle
// outlives the read. Every mutation is reproducible from its file name and number.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/module/module_fixture.h"

namespace {

using module_testing::FileBytes;
using module_testing::ReadOptions;
using module_testing::ReadOutcome;
using module_testing::ReadTest;
using module_testing::ScanDataOffset;
using module_testing::TempFolder;
using module_testing::TestImage;

struct CutCase {
    const char* name;
    const char* image;
    // Where to cut: a fraction of the way through the entropy-coded data of the first scan, or 1
    // for the file without its EOI alone.
    double fraction;
};

// A sequential file cut inside its scan reads up to the MCU row whose data is missing; that row's
// read continue answers -30501, and every row before it is the row of the whole file. Losing only
// the EOI loses no data: every row arrives.
TEST_F(ReadTest, AFileCutInsideItsScanFailsAtTheRowThatNeedsTheMissingData) {
    const CutCase cases[] = {
        {"testorig cut a quarter through", "testorig.jpg", 0.25}, {"testorig cut half way", "testorig.jpg", 0.5},
        {"testorig cut near the end", "testorig.jpg", 0.97},      {"grey cut half way", "gen/grey.jpg", 0.5},
        {"4:4:4 cut a third through", "gen/base444.jpg", 0.33},  {"testorig without EOI", "testorig.jpg", 1},
        {"grey without EOI", "gen/grey.jpg", 1},
    };
    TempFolder folder;
    for (const CutCase& item : cases) {
        SCOPED_TRACE(item.name);
        const std::vector<uint8_t> whole = FileBytes(TestImage(item.image));
        const ReadOutcome complete = ReadJpeg(TestImage(item.image));
        ASSERT_EQ(complete.failure, resultOk);
        const std::size_t data = ScanDataOffset(whole);
        ASSERT_GT(data, 0u);
        ASSERT_EQ(whole[whole.size() - 2], 0xFF);
        ASSERT_EQ(whole[whole.size() - 1], 0xD9);
        const std::size_t cut = item.fraction == 1
                                    ? whole.size() - 2
                                    : data + static_cast<std::size_t>(item.fraction * static_cast<double>(whole.size() - data));
        const ReadOutcome read =
            ReadJpeg(folder.Write("cut.jpg", std::vector<uint8_t>(whole.begin(), whole.begin() + cut)));
        ASSERT_EQ(read.start, resultOk);
        if (item.fraction == 1) {
            EXPECT_EQ(read.failure, resultOk) << "at row " << read.failedRow;
            EXPECT_TRUE(read.pixels == complete.pixels);
            continue;
        }
        EXPECT_EQ(read.failure, resultCannotRead);
        EXPECT_GT(read.failedRow, 0);
        EXPECT_LT(read.failedRow, read.rows);
        EXPECT_EQ(read.rowsDelivered, read.failedRow);
        const std::size_t good = static_cast<std::size_t>(read.rowsDelivered) * static_cast<std::size_t>(read.rowStep);
        EXPECT_TRUE(std::equal(read.pixels.begin(), read.pixels.begin() + good, complete.pixels.begin()))
            << "the rows before the failure differ from the whole file's";
    }
}

// With a restart marker after every MCU row, the marker positions tell exactly which MCU row a cut
// falls in; the failure is at that MCU row's first image row.
TEST_F(ReadTest, ACutBetweenRestartMarkersFailsAtTheFirstRowOfThatMcuRow) {
    const std::vector<uint8_t> whole = FileBytes(TestImage("gen/rst1row.jpg"));
    const std::size_t data = ScanDataOffset(whole);
    ASSERT_GT(data, 0u);
    std::vector<std::size_t> restarts;  // offsets of RSTn markers in the scan
    for (std::size_t at = data; at + 1 < whole.size(); ++at) {
        if (whole[at] == 0xFF && whole[at + 1] >= 0xD0 && whole[at + 1] <= 0xD7) restarts.push_back(at);
    }
    // 149 rows of 16-row MCU rows: 10 MCU rows, 9 markers between them.
    ASSERT_EQ(restarts.size(), 9u);
    const ReadOutcome complete = ReadJpeg(TestImage("gen/rst1row.jpg"));
    ASSERT_EQ(complete.failure, resultOk);
    TempFolder folder;
    for (std::size_t mcuRow : {1u, 4u, 8u}) {
        SCOPED_TRACE(::testing::Message() << "cut inside MCU row " << mcuRow);
        // Half way between the marker that opens this MCU row and the next one.
        const std::size_t cut = (restarts[mcuRow - 1] + restarts[mcuRow]) / 2;
        const ReadOutcome read =
            ReadJpeg(folder.Write("cut.jpg", std::vector<uint8_t>(whole.begin(), whole.begin() + cut)));
        ASSERT_EQ(read.start, resultOk);
        EXPECT_EQ(read.failure, resultCannotRead);
        EXPECT_EQ(read.failedRow, static_cast<int32_t>(16 * mcuRow));
        EXPECT_TRUE(std::equal(read.pixels.begin(), read.pixels.end(), complete.pixels.begin()));
    }
}

// The host's cancel check answers yes on its nth call: that continue answers -128, leaves rowData as
// it was, and the host ends with read finish.
TEST_F(ReadTest, CancellingAnswersCancelledAtThatRow) {
    struct CancelCase {
        const char* image;
        int64_t at;  // the cancel check that answers yes; 149 is the last row
    };
    const CancelCase cases[] = {
        {"testorig.jpg", 1}, {"testorig.jpg", 75}, {"testorig.jpg", 149},
        {"gen/prog420.jpg", 1}, {"gen/prog420.jpg", 100}, {"gen/grey.jpg", 149},
    };
    for (const CancelCase& item : cases) {
        SCOPED_TRACE(::testing::Message() << item.image << " cancelled at check " << item.at);
        ReadOptions options;
        options.cancelAtCheck = item.at;
        const ReadOutcome read = ReadJpeg(TestImage(item.image), options);
        ASSERT_EQ(read.start, resultOk);
        EXPECT_EQ(read.failure, resultCancelled);
        EXPECT_EQ(read.failedRow, item.at - 1);
        EXPECT_TRUE(read.failureLeftRowData);
        EXPECT_TRUE(read.finished);
        EXPECT_EQ(read.finish, resultOk);
    }
}

// Every allocation of the read fails in turn, until the read gets all it asks for: each failure
// answers out of memory and leaves nothing behind, and the read that succeeds delivers the image.
TEST_F(ReadTest, EachAllocationOfTheReadCanFailWithoutALeak) {
    TempFolder folder;
    const std::vector<uint8_t> icc = FileBytes(TestImage("test3.icc"));
    const std::string withProfile = folder.Write(
        "profile.jpg", module_testing::InsertAfterSoi(
                           FileBytes(TestImage("testorig.jpg")),
                           {module_testing::IccSegment(1, 2, std::vector<uint8_t>(icc.begin(), icc.begin() + 500)),
                            module_testing::IccSegment(2, 2, std::vector<uint8_t>(icc.begin() + 500, icc.begin() + 1000))}));
    const std::string images[] = {TestImage("testorig.jpg"), TestImage("gen/prog420.jpg"), TestImage("gen/grey.jpg"),
                                  withProfile};
    for (const std::string& image : images) {
        SCOPED_TRACE(image);
        const ReadOutcome expected = ReadJpeg(image);
        ASSERT_EQ(expected.failure, resultOk);
        int failures = 0;
        for (int64_t nth = 1;; ++nth) {
            SCOPED_TRACE(::testing::Message() << "allocation " << nth << " fails");
            ASSERT_LT(nth, 100) << "the read never stops allocating";
            ReadOptions options;
            options.failAllocation = nth;
            const ReadOutcome read = ReadJpeg(image, options);
            if (read.start == resultOk && read.failure == resultOk) {
                EXPECT_TRUE(read.pixels == expected.pixels);
                EXPECT_EQ(read.profile, expected.profile);
                break;
            }
            ++failures;
            if (read.start != resultOk) {
                EXPECT_EQ(read.start, resultOutOfMemory);
            } else {
                EXPECT_EQ(read.failure, resultOutOfMemory);
            }
        }
        // At least the stream with its buffer, the codec context, the options record, the working
        // block and the row buffer come from the host.
        EXPECT_GE(failures, 6);
        std::printf("%s: %d allocation points\n", image.c_str(), failures);
    }
}

// A small deterministic generator, so that a failing case can be rebuilt from its seed.
struct Random {
    uint64_t state;
    uint32_t Next() {
        state = state * 6364136223846793005u + 1442695040888963407u;
        return static_cast<uint32_t>(state >> 33);
    }
    uint32_t Below(uint32_t n) { return n == 0 ? 0 : Next() % n; }
};

std::vector<uint8_t> Mutate(const std::vector<uint8_t>& original, int kind, Random& random) {
    std::vector<uint8_t> bytes = original;
    std::vector<std::size_t> segments;  // where each segment before the first scan begins
    for (const module_testing::Segment& segment : module_testing::HeaderSegments(original)) segments.push_back(segment.offset);
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
    return code == resultOk || code == resultCannotRead || code == resultCodecFailure || code == resultOutOfMemory;
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
    for (const auto& entry : std::filesystem::directory_iterator(KV_DATA "/hostile")) {
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
