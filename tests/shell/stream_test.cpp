// Buffered sources over real files: refills at the buffer boundaries, unget, and the codes left in
// the error field and lastError at the end. (The sink's flushes, tell and seek back to the scan
// directory are checked by every written file: tests/module/write_markers_test.cpp compares the
// directory's offsets with the file, and write_failure_test.cpp fails each write and seek in turn.)
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "shell/stream.h"
#include "tests/support/test_support.h"

using namespace kv::codec;
using namespace kv::shell;

namespace {

using testing_support::OpenDescriptor;
using testing_support::PatternBytes;
using testing_support::ScratchFile;

class StreamTest : public testing_support::HostMemoryTest {
protected:
    StreamBuffer* Open(int fd, int32_t writeFlag) {
        int16_t error = 1;
        StreamBuffer* stream = StreamOpen(static_cast<uint64_t>(fd), writeFlag, &error);
        EXPECT_EQ(error, 0);
        EXPECT_NE(stream, nullptr);
        return stream;
    }
    void TearDown() override {
        StreamClose(stream_);
        if (fd_ >= 0) close(fd_);
        HostMemoryTest::TearDown();
    }
    StreamBuffer* OpenSource(const ScratchFile& file) {
        fd_ = OpenDescriptor(file.Path(), O_RDONLY);
        stream_ = Open(fd_, 0);
        return stream_;
    }
    StreamBuffer* stream_ = nullptr;
    int fd_ = -1;
};

TEST_F(StreamTest, GetByteReadsAWholeBufferFileThenReportsTheEnd) {
    const std::vector<uint8_t> data = PatternBytes(32768);
    ScratchFile file(data);
    ByteSource* source = OpenSource(file);
    for (std::size_t i = 0; i < data.size(); ++i) {
        ASSERT_EQ(SourceGetByte(source), data[i]) << "byte " << i;
    }
    EXPECT_EQ(source->transferred, 32768);
    EXPECT_EQ(StreamAtEnd(source), 0);
    EXPECT_EQ(SourceGetByte(source), -1);
    EXPECT_EQ(StreamAtEnd(source), -1);
    EXPECT_EQ(lastError, resultEndOfFile);
    EXPECT_EQ(StreamError(source), 0) << "the end of the file leaves the error field alone";
}

TEST_F(StreamTest, UngetPutsBackOnlyWhatTheBufferStillHolds) {
    ScratchFile file({0xFF, 0xD8, 0xFF});
    ByteSource* source = OpenSource(file);
    EXPECT_EQ(SourceUngetByte(0x12, source), -1) << "nothing read yet";
    EXPECT_EQ(SourceGetByte(source), 0xFF);
    EXPECT_EQ(SourceUngetByte(-1, source), -1);
    EXPECT_EQ(source->index, 1);
    EXPECT_EQ(SourceUngetByte(0xAB, source), 0xAB);
    EXPECT_EQ(source->index, 0);
    EXPECT_EQ(SourceUngetByte(0xCD, source), -1) << "index 0: nothing in front to overwrite";
    EXPECT_EQ(SourceGetByte(source), 0xAB);
    EXPECT_EQ(SourceGetByte(source), 0xD8);
}

TEST_F(StreamTest, ReadCopiesAcrossRefillsAndStopsAtTheEnd) {
    const std::vector<uint8_t> data = PatternBytes(70000);
    ScratchFile file(data);
    ByteSource* source = OpenSource(file);
    std::vector<uint8_t> got(data.size() + 100, 0);
    EXPECT_EQ(SourceGetByte(source), data[0]);
    EXPECT_EQ(SourceRead({got.data(), 40000}, source), 40000);
    EXPECT_EQ(std::memcmp(got.data(), data.data() + 1, 40000), 0);
    EXPECT_EQ(StreamError(source), 0);
    // Ask for more than is left: the rest comes out and the short read is reported.
    EXPECT_EQ(SourceRead(got, source), 70000 - 40001);
    EXPECT_EQ(std::memcmp(got.data(), data.data() + 40001, 70000 - 40001), 0);
    EXPECT_EQ(StreamError(source), resultEndOfFile);
    EXPECT_EQ(lastError, resultEndOfFile);
    EXPECT_EQ(StreamAtEnd(source), -1);
}

}  // namespace
