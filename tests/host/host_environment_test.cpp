// The host stand-in on its own: the handle pool as the plug-in reaches it through the record and the
// handle suite, the basic suite, progress and cancel scripting, the record block and the host's file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "host/host_environment.h"
#include "tests/host/temp_file.h"

namespace {

using host::HostEnvironment;

class HostEnvironmentTest : public ::testing::Test {
protected:
    void SetUp() override {
        Host().ReleaseHostHandles();
        Host().ResetRecord(true);
        Host().ResetScripts();
        Host().ResetStats();
    }
    void TearDown() override {
        Host().ResetScripts();
        Host().ReleaseHostHandles();
        Host().CloseFile();
        EXPECT_EQ(Host().Stats().liveHandles, 0) << "a test left host handles alive";
        EXPECT_EQ(Host().Stats().liveBytes, 0);
    }

    static HostEnvironment& Host() { return HostEnvironment::Instance(); }
    static HostFormatRecord* Record() { return Host().Record(); }
    static HandleSuite* Suite() { return Record()->handleSuite; }
    static BasicSuite* Basic() { return Record()->basicSuite; }
};

// --- Handle pool -------------------------------------------------------------------------------

TEST_F(HostEnvironmentTest, BothAllocationPathsShareOneCountedPool) {
    Handle fromRecord = Record()->newHandle(100);
    Handle fromSuite = Suite()->newHandle(50);
    Handle empty = Suite()->newHandle(0);
    ASSERT_NE(fromRecord, nullptr);
    ASSERT_NE(fromSuite, nullptr);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(Host().Stats().liveHandles, 3);
    EXPECT_EQ(Host().Stats().liveBytes, 150);
    EXPECT_EQ(Host().Stats().peakBytes, 150);
    EXPECT_EQ(Host().Stats().totalAllocations, 3);
    EXPECT_EQ(Suite()->getHandleSize(fromRecord), 100);
    EXPECT_EQ(Suite()->getHandleSize(empty), 0);

    // A handle made through one path may be given back through the other.
    Suite()->disposeHandle(fromRecord);
    EXPECT_EQ(Host().Stats().liveHandles, 2);
    EXPECT_EQ(Host().Stats().liveBytes, 50);
    EXPECT_EQ(Host().Stats().peakBytes, 150);
    Record()->disposeHandle(fromSuite);
    Record()->disposeHandle(empty);
    Record()->disposeHandle(nullptr);
    EXPECT_EQ(Host().Stats().liveHandles, 0);
    EXPECT_EQ(Host().Stats().liveBytes, 0);

    Host().ResetStats();
    EXPECT_EQ(Host().Stats().peakBytes, 0);
    EXPECT_EQ(Host().Stats().totalAllocations, 0);
}

TEST_F(HostEnvironmentTest, FreshBlocksHoldJunkNotZeros) {
    Handle handle = Suite()->newHandle(64);
    ASSERT_NE(handle, nullptr);
    for (int i = 0; i < 64; ++i) ASSERT_EQ(static_cast<uint8_t>((*handle)[i]), host::kJunkByte) << "byte " << i;
    Suite()->disposeHandle(handle);
}

TEST_F(HostEnvironmentTest, FailsOnlyTheNthAllocationCountedAcrossBothPaths) {
    Host().FailAllocation(3);
    Handle first = Record()->newHandle(8);
    Handle second = Suite()->newHandle(8);
    Handle third = Record()->newHandle(8);
    Handle fourth = Suite()->newHandle(8);
    EXPECT_NE(first, nullptr);
    EXPECT_NE(second, nullptr);
    EXPECT_EQ(third, nullptr);
    EXPECT_NE(fourth, nullptr);
    EXPECT_EQ(Host().Stats().liveHandles, 3);
    EXPECT_EQ(Host().Stats().refusedAllocations, 1);
    EXPECT_EQ(Host().Stats().totalAllocations, 3);
    for (Handle handle : {first, second, fourth}) Suite()->disposeHandle(handle);
}

TEST_F(HostEnvironmentTest, FailingEveryAllocationRefusesNewHandlesAndGrowthButNotTheHost) {
    Handle existing = Suite()->newHandle(16);
    ASSERT_NE(existing, nullptr);
    std::memset(*existing, 0x11, 16);
    Host().FailAllAllocations(true);

    EXPECT_EQ(Record()->newHandle(1), nullptr);
    EXPECT_EQ(Suite()->newHandle(1), nullptr);
    EXPECT_EQ(Suite()->setHandleSize(existing, 32), resultOutOfMemory);
    EXPECT_EQ(Suite()->getHandleSize(existing), 16);
    EXPECT_EQ((*existing)[15], 0x11);
    // Shrinking needs no memory.
    EXPECT_EQ(Suite()->setHandleSize(existing, 4), resultOk);
    EXPECT_EQ(Host().Stats().refusedAllocations, 2);

    Handle hostOwn = Host().NewHandle(10);
    EXPECT_NE(hostOwn, nullptr);
    Host().DisposeHandle(hostOwn);

    Host().FailAllAllocations(false);
    Handle after = Record()->newHandle(1);
    EXPECT_NE(after, nullptr);
    Record()->disposeHandle(after);
    Suite()->disposeHandle(existing);
}

TEST_F(HostEnvironmentTest, NegativeSizesAreRefused) {
    EXPECT_EQ(Suite()->newHandle(-1), nullptr);
    EXPECT_EQ(Record()->newHandle(INT32_MIN), nullptr);
    EXPECT_EQ(Host().Stats().refusedAllocations, 2);
    Handle handle = Suite()->newHandle(8);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(Suite()->setHandleSize(handle, -8), resultBadParameters);
    EXPECT_EQ(Suite()->getHandleSize(handle), 8);
    Suite()->disposeHandle(handle);
}

TEST_F(HostEnvironmentTest, SetHandleSizeKeepsContentsAndMovesTheBlockOnlyWhenGrowing) {
    Handle handle = Suite()->newHandle(16);
    ASSERT_NE(handle, nullptr);
    for (int i = 0; i < 16; ++i) (*handle)[i] = static_cast<char>(i + 1);
    const char* before = *handle;

    ASSERT_EQ(Suite()->setHandleSize(handle, 4096), resultOk);
    EXPECT_NE(*handle, before) << "a grown block must move so that stale pointers show up";
    EXPECT_EQ(Suite()->getHandleSize(handle), 4096);
    for (int i = 0; i < 16; ++i) EXPECT_EQ((*handle)[i], i + 1) << "byte " << i;
    EXPECT_EQ(static_cast<uint8_t>((*handle)[16]), host::kJunkByte);
    EXPECT_EQ(Host().Stats().liveBytes, 4096);
    EXPECT_EQ(Host().Stats().peakBytes, 4096);

    const char* grown = *handle;
    ASSERT_EQ(Suite()->setHandleSize(handle, 8), resultOk);
    EXPECT_EQ(*handle, grown);
    EXPECT_EQ(Suite()->getHandleSize(handle), 8);
    for (int i = 0; i < 8; ++i) EXPECT_EQ((*handle)[i], i + 1) << "byte " << i;
    EXPECT_EQ(Host().Stats().liveBytes, 8);
    EXPECT_EQ(Host().Stats().peakBytes, 4096);
    Suite()->disposeHandle(handle);
}

TEST_F(HostEnvironmentTest, LockAnswersTheBlockAndUnlockPairsWithIt) {
    Handle handle = Suite()->newHandle(32);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(Suite()->lockHandle(handle, 0), *handle);
    EXPECT_EQ(Suite()->lockHandle(handle, 0), *handle);
    EXPECT_EQ(Host().LockCount(handle), 2);
    Suite()->unlockHandle(handle);
    Suite()->unlockHandle(handle);
    EXPECT_EQ(Host().LockCount(handle), 0);
    Suite()->disposeHandle(handle);
}

// Plug-in bugs with handles end the process with a message rather than corrupting memory.
using HostEnvironmentDeathTest = HostEnvironmentTest;

TEST_F(HostEnvironmentDeathTest, MisusedHandlesAbortLoudly) {
    Handle handle = Suite()->newHandle(8);
    ASSERT_NE(handle, nullptr);
    Suite()->disposeHandle(handle);
    EXPECT_DEATH(Suite()->disposeHandle(handle), "disposeHandle on a handle already disposed");
    EXPECT_DEATH(Suite()->getHandleSize(handle), "getHandleSize on a handle already disposed");

    char* block = nullptr;
    Handle foreign = &block;
    EXPECT_DEATH(Record()->disposeHandle(foreign), "disposeHandle on a handle this host never made");
    EXPECT_DEATH(Suite()->setHandleSize(foreign, 4), "setHandleSize on a handle this host never made");

    Handle unlocked = Suite()->newHandle(8);
    ASSERT_NE(unlocked, nullptr);
    EXPECT_DEATH(Suite()->unlockHandle(unlocked), "unlockHandle on a handle that is not locked");
    Suite()->disposeHandle(unlocked);
}

// --- Record block ------------------------------------------------------------------------------

TEST_F(HostEnvironmentTest, FreshRecordHasCallbacksNoFileAndJunkInHostBytes) {
    // Several pointer fields sit at offsets that are not multiples of 8: they are read by value,
    // never bound to a reference.
    HostFormatRecord* record = Record();
    EXPECT_TRUE(record->cancelCheck != nullptr);
    EXPECT_TRUE(record->reportProgress != nullptr);
    EXPECT_TRUE(record->newHandle != nullptr);
    EXPECT_TRUE(record->disposeHandle != nullptr);
    EXPECT_TRUE(record->handleSuite != nullptr);
    EXPECT_TRUE(record->basicSuite != nullptr);
    EXPECT_TRUE(record->fileHandle == host::kNoFile);
    EXPECT_TRUE(record->persistentData == nullptr);
    EXPECT_TRUE(record->profileData == nullptr);
    EXPECT_TRUE(record->rowData == nullptr);
    EXPECT_TRUE(Host().HostBytesIntact());

    // A byte between fields, and one past the plug-in's view of the block, are both the host's.
    for (std::size_t offset : {std::size_t{33}, kHostFormatRecordSize + 10}) {
        unsigned char* bytes = reinterpret_cast<unsigned char*>(record);
        bytes[offset] = 0;
        EXPECT_FALSE(Host().HostBytesIntact()) << "offset " << offset;
        Host().ResetRecord();
        EXPECT_TRUE(Host().HostBytesIntact());
    }
}

TEST_F(HostEnvironmentTest, ResetKeepsPersistentDataUnlessDroppedAndDisposesTheProfile) {
    Handle options = Host().NewHandle(28);
    Record()->persistentData = options;
    Record()->profileData = Host().NewHandle(100);
    Record()->profileSize = 100;
    EXPECT_EQ(Host().Stats().liveHandles, 2);

    Host().ResetRecord();
    EXPECT_TRUE(Record()->persistentData == options);
    EXPECT_TRUE(Record()->profileData == nullptr);
    EXPECT_EQ(Record()->profileSize, 0);
    EXPECT_EQ(Host().Stats().liveHandles, 1);

    Host().ResetRecord(true);
    EXPECT_TRUE(Record()->persistentData == nullptr);
    EXPECT_EQ(Host().Stats().liveHandles, 0);
}

// --- Progress, cancel and suites ---------------------------------------------------------------

TEST_F(HostEnvironmentTest, ProgressIsRecordedAndObservedAndCancelFollowsItsScript) {
    std::vector<int32_t> observed;
    Host().OnProgress([&observed](int32_t done, int32_t total) { observed.push_back(done * 1000 + total); });
    Host().CancelAtCheck(3);
    std::vector<uint8_t> answers;
    for (int32_t row = 1; row <= 4; ++row) {
        Record()->reportProgress(row, 4);
        answers.push_back(Record()->cancelCheck());
    }
    ASSERT_EQ(Host().ProgressCalls().size(), 4u);
    EXPECT_EQ(Host().ProgressCalls()[1].done, 2);
    EXPECT_EQ(Host().ProgressCalls()[1].total, 4);
    EXPECT_EQ(observed, (std::vector<int32_t>{1004, 2004, 3004, 4004}));
    EXPECT_EQ(answers, (std::vector<uint8_t>{0, 0, 1, 1}));
    EXPECT_EQ(Host().CancelChecks(), 4);

    Host().ResetScripts();
    EXPECT_TRUE(Host().ProgressCalls().empty());
    EXPECT_EQ(Host().CancelChecks(), 0);
    Record()->reportProgress(1, 1);
    EXPECT_EQ(Record()->cancelCheck(), 0);
    EXPECT_EQ(observed.size(), 4u);
}

TEST_F(HostEnvironmentTest, SuitesAreHandedOutOnlyWhenOfferedAndNotRefused) {
    static const int suite = 42;
    const void* out = &out;
    EXPECT_EQ(Basic()->acquireSuite("KV ZEL Suite", 1, &out), host::kSuiteUnavailable);
    EXPECT_EQ(out, nullptr);

    Host().OfferSuite("KV ZEL Suite", 1, &suite);
    EXPECT_EQ(Basic()->acquireSuite("KV ZEL Suite", 2, &out), host::kSuiteUnavailable);
    EXPECT_EQ(Basic()->acquireSuite("KV ZEL", 1, &out), host::kSuiteUnavailable);
    EXPECT_EQ(Host().AcquiredSuites(), 0);

    ASSERT_EQ(Basic()->acquireSuite("KV ZEL Suite", 1, &out), 0);
    EXPECT_EQ(out, &suite);
    EXPECT_EQ(Host().AcquiredSuites(), 1);

    Host().RefuseSuites(true);
    out = &out;
    EXPECT_EQ(Basic()->acquireSuite("KV ZEL Suite", 1, &out), host::kSuiteUnavailable);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(Host().AcquiredSuites(), 1);

    EXPECT_EQ(Basic()->releaseSuite("KV ZEL Suite", 1), 0);
    EXPECT_EQ(Host().AcquiredSuites(), 0);
}

TEST_F(HostEnvironmentDeathTest, ReleasingASuiteNotHeldAbortsLoudly) {
    static const int suite = 7;
    Host().OfferSuite("KV ZEL Suite", 1, &suite);
    EXPECT_DEATH(Basic()->releaseSuite("KV ZEL Suite", 1), "of a suite it does not hold");
}

// --- Files -------------------------------------------------------------------------------------

TEST_F(HostEnvironmentTest, OpensFilesForTheModuleAndClosesThem) {
    host_testing::TempFile file("\xFF\xD8rest");
    ASSERT_TRUE(Host().OpenForReading(file.Path()));
    const int fd = static_cast<int>(Record()->fileHandle);
    char start[2] = {0, 0};
    ASSERT_EQ(read(fd, start, 2), 2);
    EXPECT_EQ(start[0], '\xFF');
    EXPECT_EQ(start[1], '\xD8');
    EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);

    Host().CloseFile();
    EXPECT_TRUE(Record()->fileHandle == host::kNoFile);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1) << "the descriptor must be closed";

    ASSERT_TRUE(Host().OpenForWriting(file.Path()));
    const int out = static_cast<int>(Record()->fileHandle);
    EXPECT_EQ(lseek(out, 0, SEEK_END), 0) << "opening for writing truncates";
    ASSERT_EQ(write(out, "abc", 3), 3);
    // Opening another file closes the first: open() answers the lowest free descriptor, which is
    // then the one just given up.
    ASSERT_TRUE(Host().OpenForReading(file.Path()));
    EXPECT_EQ(static_cast<int>(Record()->fileHandle), out);
    char back[4] = {};
    EXPECT_EQ(read(static_cast<int>(Record()->fileHandle), back, sizeof back), 3);
    EXPECT_STREQ(back, "abc");
}

TEST_F(HostEnvironmentTest, FilesThatCannotBeOpenedAreReportedWithErrno) {
    EXPECT_FALSE(Host().OpenForReading("/nonexistent/kvhost/file.jpg"));
    EXPECT_EQ(errno, ENOENT);
    EXPECT_TRUE(Record()->fileHandle == host::kNoFile);
    EXPECT_FALSE(Host().OpenForReading("/tmp"));
    EXPECT_EQ(errno, EISDIR);
    EXPECT_FALSE(Host().OpenForWriting("/nonexistent/kvhost/out.jpg"));
    EXPECT_TRUE(Record()->fileHandle == host::kNoFile);
}

}  // namespace
