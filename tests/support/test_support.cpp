// The host-memory fixture shared by the tests.
#include "tests/support/test_support.h"

#include <fcntl.h>

namespace testing_support {

int OpenDescriptor(const std::string& path, int flags) { return open(path.c_str(), flags, 0644); }

void HostMemoryTest::SetUp() {
    Host().ReleaseHostHandles();
    Host().ResetRecord(true);
    Host().FailAllocation(0);
    Host().FailAllAllocations(false);
    handlesAtStart_ = LiveHandles();
    kv::shell::currentRecord = Host().Record();
    kv::codec::lastError = 0;
}

void HostMemoryTest::TearDown() {
    Host().FailAllocation(0);
    Host().FailAllAllocations(false);
    Host().ReleaseHostHandles();
    EXPECT_EQ(LiveHandles(), handlesAtStart_) << "host handles were left alive";
    kv::shell::currentRecord = nullptr;
}

}  // namespace testing_support
