// Reads that the file's own numbers would make long or large: the host's cancel check reaches into
// read start (the scans of a progressive file, a long run of bytes before a marker), the host's
// memory budget refuses a declared size before any work is done, and a failing disk at any call
// of the read ends it with the file's code.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "tests/module/peer_jpeg.h"
#include "tests/module/read_fixture.h"
#include "tests/support/jpeg_builder.h"

namespace {

using module_testing::ReadOptions;
using module_testing::ReadOutcome;
using module_testing::ReadTest;
using module_testing::TempFolder;
using testing_support::JpegBuilder;

// Entropy-coded bytes from bits, with 0xFF stuffed.
class BitPacker {
public:
    void Put(uint32_t bits, int count) {
        for (int i = count - 1; i >= 0; --i) {
            byte_ = (byte_ << 1) | ((bits >> i) & 1);
            if (++filled_ == 8) Flush();
        }
    }
    std::vector<uint8_t> Take() {
        while (filled_ != 0) Put(1, 1);
        return std::move(bytes_);
    }

private:
    void Flush() {
        bytes_.push_back(static_cast<uint8_t>(byte_));
        if (byte_ == 0xFF) bytes_.push_back(0);
        byte_ = 0;
        filled_ = 0;
    }
    std::vector<uint8_t> bytes_;
    uint32_t byte_ = 0;
    int filled_ = 0;
};

// A progressive grey image of width x height whose data is next to nothing but whose scans visit
// every block: a DC scan of zero differences (one bit a block), an AC first scan and then
// `refinements` AC refinement scans, each all end-of-band runs of 32767 blocks. Coarse quantisers,
// so its coefficient plane takes a byte per coefficient. `dcBytes` cuts the DC scan short.
std::vector<uint8_t> RefinementBomb(int width, int height, int refinements, std::size_t dcBytes = SIZE_MAX) {
    const int64_t blocks = int64_t{(width + 7) / 8} * ((height + 7) / 8);
    JpegBuilder builder;
    builder.Soi().Dqt(0, 16).Sof(0xC2, width, height, {{1, 1, 1, 0}});
    std::vector<uint8_t> oneCode(16, 0);
    oneCode[0] = 1;
    builder.Dht(0, 0, oneCode, {0x00}).Dht(1, 0, oneCode, {0xE0});  // DC: "0" = no difference; AC: "0" = EOB14
    builder.Sos({{1, 0, 0}}, 0, 0, 0, 1);
    std::vector<uint8_t> dc(static_cast<std::size_t>((blocks + 7) / 8), 0);
    if (dcBytes < dc.size()) {
        dc.resize(dcBytes);
        return builder.Raw(dc).Bytes();
    }
    builder.Raw(dc);
    BitPacker runs;
    for (int64_t left = blocks; left > 0; left -= 32767) runs.Put(0x3FFF, 15);  // "0" + 14 one bits
    const std::vector<uint8_t> band = runs.Take();
    builder.Sos({{1, 0, 0}}, 1, 63, 0, 1).Raw(band);
    for (int i = 0; i < refinements; ++i) builder.Sos({{1, 0, 0}}, 1, 63, 1, 0).Raw(band);
    return builder.Eoi().Bytes();
}

double SecondsOf(const std::function<void()>& work) {
    const auto started = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
}

// The cancel check answers yes on its nth call, while read start is still decoding scans: start
// answers -128 at once, having asked exactly n times, and releases everything (the fixture checks
// the handles). 30000 x 30000 is stopped before its 914 MB plane is even asked for.
TEST_F(ReadTest, CancelReachesTheScansOfReadStart) {
    TempFolder folder;
    struct CancelCase {
        int side;
        int64_t at;
    };
    const CancelCase cases[] = {{30000, 1}, {8000, 1}, {8000, 3}, {8000, 150}};
    for (const CancelCase& item : cases) {
        SCOPED_TRACE(::testing::Message() << item.side << " x " << item.side << ", cancelled at check " << item.at);
        const std::string path = folder.Write("bomb.jpg", RefinementBomb(item.side, item.side, 50));
        ReadOptions options;
        options.cancelAtCheck = item.at;
        ReadOutcome read;
        const double seconds = SecondsOf([&] { read = ReadJpeg(path, options); });
        EXPECT_EQ(read.start, resultCancelled);
        EXPECT_EQ(read.startCancelChecks, item.at);
        EXPECT_FALSE(read.finished);
        // Cancelled from the first check, the read ends within a second; later, the exact count of
        // checks shows they came while the scans were being decoded.
        EXPECT_LT(seconds, item.at == 1 ? 1.0 : 10.0);
        if (item.at == 1) {
            EXPECT_LT(read.peakBytes, 1 << 20) << "the plane was allocated before the first check";
        }
    }
}

// SOI followed by a long run of bytes that are no marker: read start asks the cancel check every
// 64 KiB or so of them, and ends with -128 when it answers yes.
TEST_F(ReadTest, CancelReachesTheSearchForAMarker) {
    TempFolder folder;
    std::vector<uint8_t> bytes(16 << 20, 0);
    bytes[0] = 0xFF;
    bytes[1] = 0xD8;
    const std::string path = folder.Write("zeros.jpg", bytes);
    ReadOptions options;
    options.cancelAtCheck = 2;
    const ReadOutcome read = ReadJpeg(path, options);
    EXPECT_EQ(read.start, resultCancelled);
    EXPECT_EQ(read.startCancelChecks, 2);
    EXPECT_LT(read.fileCalls[static_cast<int>(host::FileCall::read)], 8) << "read on long after the check said stop";
    // Not cancelled, the same file is refused for what it is once its end is reached.
    EXPECT_EQ(ReadJpeg(path).start, resultCannotRead);
}

// The host's memory budget: a 229-byte file declaring 49923 x 38144 grey would need a 1.9 GB plane;
// under a 1 GB budget read start is refused at once, with almost nothing allocated.
TEST_F(ReadTest, MemoryBudgetRefusesADeclaredSizeBeforeAnyWork) {
    TempFolder folder;
    const std::vector<uint8_t> bomb = RefinementBomb(49923, 38144, 0, 91);
    ASSERT_EQ(bomb.size(), 229u);
    const std::string path = folder.Write("bomb.jpg", bomb);
    Host().LimitMemory(int64_t{1} << 30);
    ReadOutcome read;
    const double seconds = SecondsOf([&] { read = ReadJpeg(path); });
    Host().LimitMemory(0);
    EXPECT_EQ(read.start, resultOutOfMemory);
    EXPECT_GE(Host().Stats().refusedAllocations, 1);
    EXPECT_LT(read.peakBytes, 50 << 20);
    EXPECT_LT(seconds, 0.2);
}

// The failing disk fails each call the read makes on its file in turn (the file check's read and
// seek, every read of the data), once and from then on, for a baseline and a progressive file of
// several buffers: every read ends with the file's -36 and nothing left behind.
TEST_F(ReadTest, EveryFailedFileCallEndsTheReadWithIoError) {
    TempFolder folder;
    const peer::SyntheticPhoto photo(640, 480, 3);
    int64_t faulted = 0;
    for (const bool progressive : {false, true}) {
        peer::EncodeSettings settings;
        settings.progressive = progressive;
        std::vector<uint8_t> jpeg;
        std::string error;
        ASSERT_TRUE(peer::Encode(640, 480, settings, photo.Source(), &jpeg, &error)) << error;
        ASSERT_GT(jpeg.size(), 2u * 32768) << "the file should take several reads";
        const std::string path = folder.Write("disk.jpg", jpeg);
        ReadOptions options;
        options.checkFirst = true;
        options.keepPixels = false;
        const ReadOutcome clean = ReadJpeg(path, options);
        ASSERT_EQ(clean.start, resultOk);
        ASSERT_EQ(clean.failure, resultOk);
        for (int kind = 0; kind < host::kFileCallKinds; ++kind) {
            for (int64_t nth = 1; nth <= clean.fileCalls[kind]; ++nth) {
                for (const bool fromThenOn : {false, true}) {
                    SCOPED_TRACE(::testing::Message() << (progressive ? "progressive" : "baseline") << ", file call kind "
                                                      << kind << " number " << nth << (fromThenOn ? " on" : " once"));
                    options.failCall = static_cast<host::FileCall>(kind);
                    options.failCallAt = nth;
                    options.failCallFromThenOn = fromThenOn;
                    const ReadOutcome read = ReadJpeg(path, options);
                    ASSERT_GE(read.failedFileCalls, 1);
                    const int16_t answers[] = {read.check, read.prepare, read.start, read.failure};
                    int16_t answer = resultOk;
                    for (int16_t code : answers) answer = answer != resultOk ? answer : code;
                    EXPECT_EQ(answer, resultIoError);
                    ++faulted;
                }
            }
        }
    }
    RecordProperty("faultedReads", static_cast<int>(faulted));
    std::printf("reads with a failed file call: %lld\n", static_cast<long long>(faulted));
}

}  // namespace
