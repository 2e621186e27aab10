// Files the module must refuse, files that end too soon, a user who cancels and a host that runs
// out of memory: each answers its result code at the right selector and row, the rows before a
// failure are the right rows, and no host handle outlives the read.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "tests/module/peer_jpeg.h"
#include "tests/module/read_fixture.h"
#include "tests/support/jpeg_builder.h"

namespace {

using module_testing::FileBytes;
using module_testing::ReadOptions;
using module_testing::ReadOutcome;
using module_testing::ReadTest;
using module_testing::ScanDataOffset;
using module_testing::TempFolder;
using module_testing::TestImage;
using testing_support::FrameComponent;
using testing_support::JpegBuilder;

const std::vector<FrameComponent> kColour420 = {{1, 2, 2, 0}, {2, 1, 1, 0}, {3, 1, 1, 0}};

struct HeaderCase {
    const char* name;
    std::function<std::vector<uint8_t>()> make;
    int16_t start;  // read start's answer
};

std::vector<uint8_t> Shared(const char* name) { return FileBytes(TestImage(name)); }

// The header phase decides: read start answers, and nothing is left for read finish.
TEST_F(ReadTest, ReadStartAnswersForTheHeader) {
    const HeaderCase cases[] = {
        {"arithmetic coding (SOF9)", [] { return Shared("testimgari.jpg"); }, resultCodecFailure},
        {"12-bit samples", [] { return Shared("monkey12.jpg"); }, resultCannotRead},
        {"progressive file cut inside its scans", [] { return Shared("truncated_jpeg.jpg"); }, resultCannotRead},
        {"two components",
         [] { return JpegBuilder::FlatImage(16, 16, {{1, 1, 1, 0}, {2, 1, 1, 0}}); }, resultCannotRead},
        {"EOI before any scan",
         [] { return JpegBuilder().Soi().Dqt(0).Sof(0xC0, 16, 16, kColour420).FlatDht(0).Eoi().Bytes(); },
         resultCannotRead},
        {"SOI then EOI", [] { return JpegBuilder().Soi().Eoi().Bytes(); }, resultCannotRead},
        {"SOI then text", [] { return JpegBuilder().Soi().Raw({'n', 'o', 't', 'e', 's', '\n'}).Bytes(); },
         resultCannotRead},
        {"cut inside the tables",
         [] {
             std::vector<uint8_t> bytes = Shared("testorig.jpg");
             bytes.resize(300);
             return bytes;
         },
         resultCannotRead},
        {"precision 12 in a baseline frame",
         [] { return JpegBuilder().Soi().Dqt(0).Sof(0xC0, 16, 16, kColour420, 12).Bytes(); }, resultCannotRead},
        {"lossless process (SOF3)",
         [] { return JpegBuilder().Soi().Dqt(0).Sof(0xC3, 16, 16, kColour420).Bytes(); }, resultCodecFailure},
        {"differential process (SOF5)",
         [] { return JpegBuilder().Soi().Dqt(0).Sof(0xC5, 16, 16, kColour420).Bytes(); }, resultCodecFailure},
        // The controls: the same small frames with an allowed component count read.
        {"three components", [] { return JpegBuilder::FlatImage(16, 16, kColour420); }, resultOk},
        {"one component", [] { return JpegBuilder::FlatImage(16, 16, {{1, 1, 1, 0}}); }, resultOk},
        {"four components",
         [] { return JpegBuilder::FlatImage(16, 16, {{1, 1, 1, 0}, {2, 1, 1, 0}, {3, 1, 1, 0}, {4, 1, 1, 0}}); },
         resultOk},
    };
    TempFolder folder;
    for (const HeaderCase& item : cases) {
        SCOPED_TRACE(item.name);
        const ReadOutcome read = ReadJpeg(folder.Write("header.jpg", item.make()));
        EXPECT_EQ(read.prepare, resultOk);
        EXPECT_EQ(read.start, item.start);
        if (item.start == resultOk) {
            EXPECT_EQ(read.failure, resultOk);
            EXPECT_EQ(read.rowsDelivered, 16);
            // Flat blocks decode to mid-grey in every channel (ink 127 for CMYK).
            const uint8_t grey = read.planes == 4 ? 127 : 128;
            EXPECT_EQ(std::count(read.pixels.begin(), read.pixels.end(), grey),
                      static_cast<std::ptrdiff_t>(read.pixels.size()));
        }
    }
}

struct CutCase {
    const char* name;
    const char* image;
    // Where to cut: a fraction of the way through the entropy-coded data of the first scan, or, when
    // negative, that many bytes before the end of the file.
    double fraction;
    int bytesBeforeEnd;
};

// A sequential file cut inside its scan reads up to the MCU row whose data is missing; that row's
// read continue answers -30501, and every row before it is the row of the whole file.
TEST_F(ReadTest, AFileCutInsideItsScanFailsAtTheRowThatNeedsTheMissingData) {
    const CutCase cases[] = {
        {"testorig cut a quarter through", "testorig.jpg", 0.25, 0},
        {"testorig cut half way", "testorig.jpg", 0.5, 0},
        {"testorig cut near the end", "testorig.jpg", 0.97, 0},
        {"grey cut half way", "gen/grey.jpg", 0.5, 0},
        {"4:4:4 cut a third through", "gen/base444.jpg", 0.33, 0},
    };
    TempFolder folder;
    for (const CutCase& item : cases) {
        SCOPED_TRACE(item.name);
        const std::vector<uint8_t> whole = FileBytes(TestImage(item.image));
        const ReadOutcome complete = ReadJpeg(TestImage(item.image));
        ASSERT_EQ(complete.failure, resultOk);
        const std::size_t data = ScanDataOffset(whole);
        ASSERT_GT(data, 0u);
        const std::size_t cut = data + static_cast<std::size_t>(item.fraction * static_cast<double>(whole.size() - data));
        const ReadOutcome read =
            ReadJpeg(folder.Write("cut.jpg", std::vector<uint8_t>(whole.begin(), whole.begin() + cut)));
        ASSERT_EQ(read.start, resultOk);
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

// Losing only the EOI loses no data: every row arrives.
TEST_F(ReadTest, AFileWithoutItsEoiStillDeliversEveryRow) {
    TempFolder folder;
    for (const char* image : {"testorig.jpg", "gen/grey.jpg"}) {
        SCOPED_TRACE(image);
        const std::vector<uint8_t> whole = FileBytes(TestImage(image));
        ASSERT_EQ(whole[whole.size() - 2], 0xFF);
        ASSERT_EQ(whole[whole.size() - 1], 0xD9);
        const ReadOutcome complete = ReadJpeg(TestImage(image));
        const ReadOutcome read =
            ReadJpeg(folder.Write("no-eoi.jpg", std::vector<uint8_t>(whole.begin(), whole.end() - 2)));
        ASSERT_EQ(read.start, resultOk);
        EXPECT_EQ(read.failure, resultOk) << "at row " << read.failedRow;
        EXPECT_TRUE(read.pixels == complete.pixels);
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
    const std::vector<uint8_t> split(icc.begin(), icc.begin() + 1000);
    std::vector<uint8_t> header{'I', 'C', 'C', '_', 'P', 'R', 'O', 'F', 'I', 'L', 'E', 0, 1, 2};
    std::vector<uint8_t> chunk1 = header;
    chunk1.insert(chunk1.end(), icc.begin(), icc.begin() + 500);
    std::vector<uint8_t> chunk2 = header;
    chunk2[12] = 2;
    chunk2.insert(chunk2.end(), icc.begin() + 500, icc.begin() + 1000);
    const std::string withProfile = folder.Write(
        "profile.jpg", module_testing::InsertAfterSoi(FileBytes(TestImage("testorig.jpg")),
                                                      {module_testing::SegmentBytes(0xE2, chunk1),
                                                       module_testing::SegmentBytes(0xE2, chunk2)}));
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
        // At least the stream, its buffer, the codec context, the options record, the working
        // block and the row buffer come from the host.
        EXPECT_GE(failures, 6);
        std::printf("%s: %d allocation points\n", image.c_str(), failures);
    }
}

}  // namespace
