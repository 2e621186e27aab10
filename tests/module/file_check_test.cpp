// The file check (selector 17) through dlopen, on files the host opened: the answer, and where the
// module leaves the file position, for JPEG starts, other content, short files and bad descriptors.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "tests/support/test_support.h"
#include "tests/module/module_test.h"

namespace {

using module_testing::ModuleTest;

class FileCheckTest : public ModuleTest {
protected:
    // Runs the check on an open descriptor the host did not open through the environment.
    int16_t CheckDescriptor(int fd) {
        Record()->fileHandle = static_cast<uint64_t>(fd);
        return Call(selectorFileCheck);
    }
    off_t Position() { return lseek(static_cast<int>(Record()->fileHandle), 0, SEEK_CUR); }
};

struct ContentCase {
    const char* name;
    std::string contents;
    off_t start;       // where the host leaves the position before the call
    int16_t answer;
    off_t position;    // where the module must leave it
};

TEST_F(FileCheckTest, AnswersFromTheFirstTwoBytesAndRewindsWhenItReadThem) {
    using namespace std::string_literals;
    const ContentCase cases[] = {
        {"SOI then garbage", "\xFF\xD8garbage that is no JPEG"s, 0, resultOk, 0},
        {"SOI alone", "\xFF\xD8"s, 0, resultOk, 0},
        {"text", "Meeting notes, Tuesday\n"s, 0, resultCannotRead, 0},
        {"SOI bytes swapped", "\xD8\xFF\xE0\x00"s, 0, resultCannotRead, 0},
        {"EOI instead of SOI", "\xFF\xD9\xFF\xD8"s, 0, resultCannotRead, 0},
        {"NUL bytes", "\0\0\0\0"s, 0, resultCannotRead, 0},
        // The module reads from the position the host left; the rewind is to the start.
        {"SOI after two bytes", "ab\xFF\xD8"s, 2, resultOk, 0},
        // Too short to hold a marker: the position stays where the read left it.
        {"one byte", "\xFF"s, 0, resultEndOfFile, 1},
        {"empty", ""s, 0, resultEndOfFile, 0},
        {"one byte left", "\xFF\xD8\xFF"s, 2, resultEndOfFile, 3},
    };
    for (const ContentCase& item : cases) {
        SCOPED_TRACE(item.name);
        testing_support::ScratchFile file(item.contents);
        ASSERT_TRUE(Host().OpenForReading(file.Path()));
        ASSERT_EQ(lseek(static_cast<int>(Record()->fileHandle), item.start, SEEK_SET), item.start);
        EXPECT_EQ(Call(selectorFileCheck), item.answer);
        EXPECT_EQ(Position(), item.position);
        Host().CloseFile();
    }
}

TEST_F(FileCheckTest, DescriptorsThatCannotBeReadOrRewoundAnswerIoError) {
    testing_support::ScratchFile file("\xFF\xD8\xFF\xE0");

    // No file at all.
    EXPECT_EQ(Call(selectorFileCheck), resultIoError);

    const int closed = open(file.Path().c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(closed, 0);
    close(closed);
    EXPECT_EQ(CheckDescriptor(closed), resultIoError);

    const int writeOnly = open(file.Path().c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(writeOnly, 0);
    EXPECT_EQ(CheckDescriptor(writeOnly), resultIoError);
    close(writeOnly);

    const int folder = open("/tmp", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(folder, 0);
    EXPECT_EQ(CheckDescriptor(folder), resultIoError);
    close(folder);

    // A pipe delivers SOI, but cannot be rewound.
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    ASSERT_EQ(write(ends[1], "\xFF\xD8", 2), 2);
    close(ends[1]);
    EXPECT_EQ(CheckDescriptor(ends[0]), resultIoError);
    close(ends[0]);

    Record()->fileHandle = host::kNoFile;
}

}  // namespace
