// Writes that cannot complete, through the dlopen'd module: the user's cancel, no memory at each
// allocation of a write, a failing disk at each call on the file (kvhost's tests write to a full
// device as well), an empty frame, and selectors called out of turn. Each ends with the documented
// result and no host handle alive.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tests/module/peer_jpeg.h"
#include "tests/module/module_fixture.h"

namespace {

using module_testing::Format;
using module_testing::Picture;
using module_testing::TempFolder;
using module_testing::WriteOptions;
using module_testing::WriteOutcome;
using module_testing::WriteTest;

using module_testing::FormatCase;
using module_testing::kFormats;
using module_testing::OptionsFor;

class WriteFailureTest : public WriteTest {
protected:
    TempFolder folder_;
};

TEST_F(WriteFailureTest, CancelAnswersCancelledAtTheRowOfTheCheck) {
    const Picture picture = module_testing::SamplePicture();
    for (const FormatCase& format : kFormats) {
        for (const int64_t check : {int64_t{1}, int64_t{picture.height / 2}, int64_t{picture.height}}) {
            SCOPED_TRACE(::testing::Message() << format.name << ", cancel at check " << check);
            WriteOptions options = OptionsFor(format);
            options.cancelAtCheck = check;
            const WriteOutcome written = WriteJpeg(picture, folder_.PathOf("cancel.jpg"), options);
            EXPECT_EQ(written.start, resultOk);
            EXPECT_EQ(written.failure, resultCancelled);
            // The check follows the row's progress report: rows before it went through.
            EXPECT_EQ(written.failedRow, check - 1);
            EXPECT_EQ(written.rowsTaken, check - 1);
            EXPECT_EQ(static_cast<int64_t>(Host().ProgressCalls().size()), check);
            EXPECT_TRUE(written.finished);
            EXPECT_EQ(written.finish, resultOk);
        }
    }
}

TEST_F(WriteFailureTest, NoMemoryAtEachAllocationAnswersOutOfMemoryWithoutLeaks) {
    const Picture picture = module_testing::SyntheticPicture(33, 9);
    struct MemoryCase {
        bool presetRecord;
        std::size_t profileBytes;  // 70000 bytes give two chunks
    };
    const MemoryCase cases[] = {{true, 0}, {false, 0}, {true, 70000}, {false, 70000}};
    for (const FormatCase& format : kFormats) {
        for (const MemoryCase& item : cases) {
            WriteOptions options = OptionsFor(format);
            options.presetRecord = item.presetRecord;
            options.profile.assign(item.profileBytes, 0x3C);
            int failures = 0;
            bool succeeded = false;
            for (int64_t nth = 1; nth <= 200 && !succeeded; ++nth) {
                SCOPED_TRACE(::testing::Message() << format.name << (item.presetRecord ? ", record kept" : ", no record")
                                                  << ", profile " << item.profileBytes << ", allocation " << nth);
                options.failAllocation = nth;
                const WriteOutcome written = WriteJpeg(picture, folder_.PathOf("memory.jpg"), options);
                if (written.refusedAllocations == 0) {
                    // Past the last allocation: the write completes.
                    EXPECT_EQ(written.start, resultOk);
                    EXPECT_EQ(written.failure, resultOk);
                    EXPECT_EQ(written.rowsTaken, picture.height);
                    succeeded = true;
                    continue;
                }
                ++failures;
                if (written.start != resultOk) {
                    EXPECT_EQ(written.start, resultOutOfMemory);
                    EXPECT_FALSE(written.finished);
                } else {
                    EXPECT_EQ(written.failure, resultOutOfMemory);
                    EXPECT_EQ(written.finish, resultOk);
                }
            }
            EXPECT_TRUE(succeeded);
            // The stream with its buffer, the context, the work block, the markers and the row buffer at least.
            EXPECT_GE(failures, 5);
            // Without a kept record the module makes one; with a profile each chunk is one more.
            if (!item.presetRecord || item.profileBytes != 0) {
                EXPECT_GE(failures, 6);
            }
        }
    }
}

// The failing disk fails each call the write makes on its file in turn, once (a passing fault) and
// from then on (a dead disk), in every format and scan script. Whatever the call (a buffer written
// in the middle of a row, the flush after it, a seek of the scan directory's patch), the write
// answers -36 and never 0: the bytes it lost are not written again.
TEST_F(WriteFailureTest, EveryFailedFileCallFailsTheWrite) {
    // Quality 10 makes the file several buffers long, so that full buffers are written mid-row.
    const Picture picture = module_testing::SyntheticPicture(480, 320);
    int64_t faulted = 0;
    for (const FormatCase& format : kFormats) {
        WriteOptions options = OptionsFor(format);
        options.quality = 10;
        const std::string path = folder_.PathOf("disk.jpg");
        const WriteOutcome clean = WriteJpeg(picture, path, options);
        ASSERT_EQ(clean.failure, resultOk) << format.name;
        ASSERT_GT(clean.jpeg.size(), 2u * 32768) << format.name;
        peer::Image decoded;
        std::string error;
        ASSERT_TRUE(peer::Decode(clean.jpeg, &decoded, &error)) << format.name << ": " << error;
        for (int kind = 0; kind < host::kFileCallKinds; ++kind) {
            for (int64_t nth = 1; nth <= clean.fileCalls[kind]; ++nth) {
                for (const bool fromThenOn : {false, true}) {
                    SCOPED_TRACE(::testing::Message() << format.name << ", file call kind " << kind << " number " << nth
                                                      << (fromThenOn ? " on" : " once"));
                    options.failCall = static_cast<host::FileCall>(kind);
                    options.failCallAt = nth;
                    options.failCallFromThenOn = fromThenOn;
                    const WriteOutcome written = WriteJpeg(picture, path, options);
                    ASSERT_GE(written.failedFileCalls, 1);
                    EXPECT_EQ(written.start, resultOk);
                    EXPECT_EQ(written.failure, resultIoError);
                    EXPECT_TRUE(written.finished);
                    ++faulted;
                }
            }
        }
        EXPECT_GE(clean.fileCalls[static_cast<int>(host::FileCall::write)], 3) << format.name;
        if (format.format == Format::progressive) {
            EXPECT_EQ(clean.fileCalls[static_cast<int>(host::FileCall::seek)], 2) << "to the scan directory and back";
        }
    }
    RecordProperty("faultedWrites", static_cast<int>(faulted));
    std::printf("writes with a failed file call: %lld\n", static_cast<long long>(faulted));
}

TEST_F(WriteFailureTest, EmptyFrameAnswersBadParametersAtWriteStart) {
    const Picture picture = module_testing::SyntheticPicture(4, 4);
    const int16_t sizes[][2] = {{0, 4}, {4, 0}, {0, 0}, {-4, 4}, {4, -1}};
    for (const FormatCase& format : kFormats) {
        for (const auto& size : sizes) {
            SCOPED_TRACE(::testing::Message() << format.name << ", " << size[0] << " x " << size[1]);
            WriteOptions options = OptionsFor(format);
            options.columns = size[0];
            options.rows = size[1];
            const WriteOutcome written = WriteJpeg(picture, folder_.PathOf("empty.jpg"), options);
            EXPECT_EQ(written.prepare, resultOk);
            EXPECT_EQ(written.start, resultBadParameters);
            EXPECT_FALSE(written.finished);
        }
    }
}

TEST_F(WriteFailureTest, SelectorsOutOfTurnAnswerWithoutCrashing) {
    // Continue before any start, with and without an options record, and finish without a start.
    Host().ResetRecord(true);
    EXPECT_EQ(Call(selectorWritePrepare), resultOk);
    uint8_t row[12] = {};
    Record()->rowData = row;
    EXPECT_EQ(Call(selectorWriteContinue), resultBadParameters);
    EXPECT_EQ(Call(selectorWriteFinish), resultOk);
    const std::vector<uint8_t> zeros = testing_support::OptionsRecordBytes(0, 0, 0);
    Record()->persistentData = Host().NewHandle(28);
    std::memcpy(*Record()->persistentData, zeros.data(), zeros.size());
    EXPECT_EQ(Call(selectorWriteContinue), resultBadParameters);
    EXPECT_EQ(Call(selectorWriteFinish), resultOk);
    EXPECT_TRUE(Host().ProgressCalls().empty());
}

TEST_F(WriteFailureTest, ContinueAfterTheLastRowAddsNothingToTheFile) {
    const Picture picture = module_testing::SyntheticPicture(17, 1);
    for (const FormatCase& format : kFormats) {
        SCOPED_TRACE(format.name);
        const std::string path = folder_.PathOf("extra.jpg");
        Host().ReleaseHostHandles();
        Host().ResetRecord(true);
        Host().ResetScripts();
        ASSERT_TRUE(Host().OpenForWriting(path));
        PresetOptionsRecord(OptionsFor(format));
        HostFormatRecord* record = Record();
        record->columns = 17;
        record->rows = 1;
        record->planes = 3;
        record->imageMode = 3;
        ASSERT_EQ(Call(selectorWritePrepare), resultOk);
        ASSERT_EQ(Call(selectorWriteStart), resultOk);
        void* const rowData = record->rowData;
        ASSERT_NE(rowData, nullptr);
        std::memcpy(rowData, picture.rgb.data(), picture.rgb.size());
        ASSERT_EQ(Call(selectorWriteContinue), resultOk);
        // A comparison, not ASSERT_EQ: no reference may bind to the packed record's pointer.
        ASSERT_TRUE(record->rowData == nullptr);
        const std::vector<uint8_t> complete = module_testing::FileBytes(path);
        // A host that calls again, with or without a row, is told again that the transfer is over:
        // no second image, no progress beyond the last row.
        EXPECT_EQ(Call(selectorWriteContinue), resultOk);
        EXPECT_TRUE(record->rowData == nullptr);
        uint8_t spare[17 * 3] = {};
        record->rowData = spare;
        EXPECT_EQ(Call(selectorWriteContinue), resultOk);
        EXPECT_TRUE(record->rowData == nullptr);
        EXPECT_EQ(Host().ProgressCalls().size(), 1u);
        EXPECT_EQ(Call(selectorWriteFinish), resultOk);
        Host().CloseFile();
        EXPECT_TRUE(module_testing::FileBytes(path) == complete);
        ASSERT_GE(complete.size(), 2u);
        EXPECT_EQ(complete[complete.size() - 2], 0xFF);
        EXPECT_EQ(complete.back(), 0xD9);
        Host().ReleaseHostHandles();
        EXPECT_EQ(Host().Stats().liveHandles, 0);
    }
}

}  // namespace
