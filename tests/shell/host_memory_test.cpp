// The memory service: blocks carried by host handles, its answers for bad requests and for a host
// out of memory, in its codec form (through lastError) and its shell form (through an out value).
#include <cstdint>
#include <cstring>

#include "shell/host_memory.h"
#include "tests/support/test_support.h"

using namespace kv::codec;
using namespace kv::shell;

namespace {

using MemoryTest = testing_support::HostMemoryTest;

TEST_F(MemoryTest, BadRequestsAnswerBadParameters) {
    lastError = 99;
    EXPECT_EQ(MemoryAllocate(0), nullptr);
    EXPECT_EQ(lastError, resultBadParameters);
    lastError = 99;
    EXPECT_EQ(MemoryAllocateZeroed(0, 16), nullptr);
    EXPECT_EQ(lastError, resultBadParameters);
    currentRecord = nullptr;
    EXPECT_EQ(MemoryAllocate(16), nullptr);
    EXPECT_EQ(lastError, resultBadParameters);
    MemoryFree(nullptr);
    EXPECT_EQ(LiveHandles(), 0);
}

TEST_F(MemoryTest, OversizedRequestsNeverReachTheHost) {
    const int64_t before = Host().Stats().totalAllocations + Host().Stats().refusedAllocations;
    EXPECT_EQ(MemoryAllocate(static_cast<std::size_t>(INT32_MAX)), nullptr);
    EXPECT_EQ(lastError, resultOutOfMemory);
    EXPECT_EQ(MemoryAllocateZeroed(SIZE_MAX / 2, 4), nullptr);
    EXPECT_EQ(lastError, resultOutOfMemory);
    EXPECT_EQ(MemoryAllocateZeroed(1 << 16, 1 << 16), nullptr) << "product above 2 GB";
    EXPECT_EQ(lastError, resultOutOfMemory);
    EXPECT_EQ(Host().Stats().totalAllocations + Host().Stats().refusedAllocations, before);
}

TEST_F(MemoryTest, ShellFormReportsThroughItsOutValueOnly) {
    lastError = 77;
    int16_t error = 1;
    void* block = ShellAllocate(32, &error);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(error, 0);
    Host().FailAllocation(1);
    void* refused = ShellAllocate(32, &error);
    EXPECT_EQ(refused, nullptr);
    EXPECT_EQ(error, resultOutOfMemory);
    EXPECT_EQ(ShellAllocate(0, &error), nullptr);
    EXPECT_EQ(error, resultBadParameters);
    EXPECT_EQ(lastError, 77) << "the shell form leaves lastError alone";

    ShellFree(block);
    EXPECT_EQ(block, nullptr) << "the caller's variable is cleared";
    EXPECT_EQ(LiveHandles(), 0);
    ShellFree(block);  // a null variable does nothing
    EXPECT_EQ(LiveHandles(), 0);
}

TEST_F(MemoryTest, ShellFreeWithoutACurrentRecordDoesNothing) {
    int16_t error = 0;
    void* block = ShellAllocate(32, &error);
    currentRecord = nullptr;
    void* kept = block;
    ShellFree(block);
    EXPECT_EQ(block, kept);
    EXPECT_EQ(LiveHandles(), 1);
    currentRecord = Host().Record();
    ShellFree(block);
    EXPECT_EQ(LiveHandles(), 0);
}

}  // namespace
