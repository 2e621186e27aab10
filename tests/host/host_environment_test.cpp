// The host stand-in's handle pool on its own, as the plug-in reaches it through the record and the
// handle suite: fresh blocks hold junk, and a misused handle ends the process loudly. The module
// tests rely on both to find a plug-in that reads memory it never wrote or disposes twice.
#include <gtest/gtest.h>

#include <vector>

#include "host/host_environment.h"

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

TEST_F(HostEnvironmentTest, FreshBlocksHoldJunkNotZeros) {
    Handle handle = Suite()->newHandle(64);
    ASSERT_NE(handle, nullptr);
    for (int i = 0; i < 64; ++i) ASSERT_EQ(static_cast<uint8_t>((*handle)[i]), host::kJunkByte) << "byte " << i;
    Suite()->disposeHandle(handle);
}

// Plug-in bugs with handles end the process with a message rather than corrupting memory.
using HostEnvironmentDeathTest = HostEnvironmentTest;

TEST_F(HostEnvironmentDeathTest, MisusedHandlesAbortLoudly) {
    Handle handle = Suite()->newHandle(8);
    ASSERT_NE(handle, nullptr);
    Suite()->disposeHandle(handle);
    EXPECT_DEATH(Suite()->disposeHandle(handle), "disposeHandle on a handle already disposed");
    // Still known as disposed while many newer handles live.
    std::vector<Handle> newer;
    for (int i = 0; i < 1000; ++i) newer.push_back(Suite()->newHandle(8));
    EXPECT_DEATH(Suite()->getHandleSize(handle), "getHandleSize on a handle already disposed");
    for (Handle made : newer) Suite()->disposeHandle(made);

    char* block = nullptr;
    Handle foreign = &block;
    EXPECT_DEATH(Record()->disposeHandle(foreign), "disposeHandle on a handle this host never made");
    EXPECT_DEATH(Suite()->setHandleSize(foreign, 4), "setHandleSize on a handle this host never made");
    Handle inside = reinterpret_cast<Handle>(reinterpret_cast<char*>(handle) + 4);
    EXPECT_DEATH(Suite()->lockHandle(inside, 0), "lockHandle on a handle this host never made");

    Handle unlocked = Suite()->newHandle(8);
    ASSERT_NE(unlocked, nullptr);
    EXPECT_DEATH(Suite()->unlockHandle(unlocked), "unlockHandle on a handle that is not locked");
    Suite()->disposeHandle(unlocked);
}




}  // namespace
