// The test module that derives from RQSession: a shared object built by the tests against
// include/ alone and linked against JPEG.kvx. Its sessions hold no data and record the address of
// each one destroyed, in order.
#pragma once

#include <cstddef>
#include <typeinfo>

#include "RQSession.h"

#define SESSION_MODULE_API __attribute__((visibility("default")))

extern "C" {
// One session, made with new.
SESSION_MODULE_API RQSession* MakeTestSession();
// count sessions in one array, made with new[].
SESSION_MODULE_API RQSession* MakeTestSessions(int count);
// A copy of a session of this module made with its copy constructor, and a copy assignment
// between two; each answers the session it made or assigned to.
SESSION_MODULE_API RQSession* CopyTestSession(const RQSession* session);
SESSION_MODULE_API RQSession* AssignTestSession(RQSession* to, const RQSession* from);
// The sessions destroyed since the last call, in the order their destructors ran.
SESSION_MODULE_API std::size_t TakeDestroyedSessions(const void** addresses, std::size_t room);
// The session class's size and type information.
SESSION_MODULE_API std::size_t TestSessionSize();
SESSION_MODULE_API const std::type_info* TestSessionType();
// typeid(RQSession) as this module sees it.
SESSION_MODULE_API const std::type_info* SessionBaseType();
}
