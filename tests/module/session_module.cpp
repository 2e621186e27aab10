// A module of the host's that derives from RQSession, knowing it only through include/RQSession.h:
// a session class implementing the seven operations, with factories the session test calls.
#include "tests/module/session_module.h"

#include <vector>

namespace {

std::vector<const void*> destroyed;

class TestSession : public RQSession {
public:
    TestSession() = default;
    TestSession(const TestSession&) = default;
    TestSession& operator=(const TestSession&) = default;
    ~TestSession() override { destroyed.push_back(this); }

    int32_t Open() override { return 0; }
    int32_t Close() override { return 0; }
    int32_t Submit(int32_t request, void*) override { return request; }
    int32_t Poll(int32_t) override { return 0; }
    void Cancel(int32_t) override {}
    bool IsOpen() const override { return false; }
    const char* Name() const override { return "test session"; }
};

}  // namespace

RQSession* MakeTestSession() { return new TestSession; }
RQSession* MakeTestSessions(int count) { return new TestSession[count]; }
RQSession* CopyTestSession(const RQSession* session) {
    return new TestSession(*static_cast<const TestSession*>(session));
}
RQSession* AssignTestSession(RQSession* to, const RQSession* from) {
    return &(*static_cast<TestSession*>(to) = *static_cast<const TestSession*>(from));
}
std::size_t TakeDestroyedSessions(const void** addresses, std::size_t room) {
    const std::size_t count = destroyed.size();
    for (std::size_t index = 0; index < count && index < room; ++index) addresses[index] = destroyed[index];
    destroyed.clear();
    return count;
}
std::size_t TestSessionSize() { return sizeof(TestSession); }
const std::type_info* TestSessionType() { return &typeid(TestSession); }
const std::type_info* SessionBaseType() { return &typeid(RQSession); }
