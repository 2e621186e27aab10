// RQSession as another module of the host uses it: a session class derived in a separate shared
// object (tests/module/session_module.cpp) that links against JPEG.kvx, made with new and new[]
// and deleted through RQSession*, with its type information leading back to JPEG.kvx.
#include <cxxabi.h>
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>
#include <typeinfo>

#include "tests/module/session_module.h"

namespace {

// The file of the loaded object that holds address.
std::string ObjectHolding(const void* address) {
    Dl_info info{};
    if (dladdr(address, &info) == 0 || info.dli_fname == nullptr) return "";
    const std::string path = info.dli_fname;
    return path.substr(path.rfind('/') + 1);
}

TEST(SessionTest, DerivedSessionsComeAndGoThroughTheBaseClass) {
    const void* log[8];
    TakeDestroyedSessions(log, 8);

    // A session holds nothing but its virtual table pointer.
    EXPECT_EQ(TestSessionSize(), sizeof(void*));
    EXPECT_EQ(sizeof(RQSession), sizeof(void*));

    RQSession* one = MakeTestSession();
    ASSERT_NE(one, nullptr);
    EXPECT_EQ(typeid(*one), *TestSessionType());
    EXPECT_STREQ(one->Name(), "test session");
    delete one;
    ASSERT_EQ(TakeDestroyedSessions(log, 8), 1u);
    EXPECT_EQ(log[0], one);

    // Copy construction and copy assignment go through RQSession's exported members.
    RQSession* original = MakeTestSession();
    RQSession* copy = CopyTestSession(original);
    EXPECT_EQ(typeid(*copy), *TestSessionType());
    EXPECT_EQ(AssignTestSession(copy, original), copy);
    EXPECT_EQ(typeid(*copy), *TestSessionType());
    delete copy;
    delete original;
    EXPECT_EQ(TakeDestroyedSessions(log, 8), 2u);
}

// Deleting an array through a pointer to its base is outside standard C++; the host's modules
// rely on what the compilers of the module's platforms do with a virtual destructor and elements
// of the base's size (one pointer): destroy every element, the last first, then the block.
TEST(SessionTest, ArraysAreDestroyedElementByElementThroughTheBaseClass) {
#if defined(__clang__)
    GTEST_SKIP() << "Clang destroys the elements of an array deleted through its base as base objects";
#endif
    const void* log[8];
    TakeDestroyedSessions(log, 8);
    RQSession* many = MakeTestSessions(3);
    ASSERT_NE(many, nullptr);
    const void* elements[3] = {&many[0], &many[1], &many[2]};
    EXPECT_EQ(static_cast<const char*>(elements[1]) - static_cast<const char*>(elements[0]),
              static_cast<std::ptrdiff_t>(sizeof(void*)));
    delete[] many;
    ASSERT_EQ(TakeDestroyedSessions(log, 8), 3u);
    EXPECT_EQ(log[0], elements[2]);
    EXPECT_EQ(log[1], elements[1]);
    EXPECT_EQ(log[2], elements[0]);
}

// The test program itself never names RQSession's type information: a reference from a program
// would get its own copy of the object (a copy relocation) in place of JPEG.kvx's.
TEST(SessionTest, TypeInformationNamesRQSessionFromTheModuleAsTheBase) {
    const auto* derived = dynamic_cast<const abi::__si_class_type_info*>(TestSessionType());
    ASSERT_NE(derived, nullptr) << "the test session should have exactly one, non-virtual base";
    const std::type_info* base = SessionBaseType();
    EXPECT_EQ(derived->__base_type, base);
    EXPECT_STREQ(base->name(), "9RQSession");
    EXPECT_EQ(ObjectHolding(base), "JPEG.kvx");
    EXPECT_EQ(ObjectHolding(TestSessionType()), "libsession_module.so");

    RQSession* session = MakeTestSession();
    void* complete = nullptr;
    EXPECT_TRUE(base->__do_catch(&typeid(*session), &(complete = session), 1))
        << "a test session is not caught as an RQSession";
    delete session;
}

}  // namespace
