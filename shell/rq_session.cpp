// The exported members of RQSession: nothing to construct, copy or destroy but the class's own
// virtual table. Defined here, out of line, so that the module provides them, with the virtual
// table and type information, to the modules that derive from the class.
#include "include/RQSession.h"

RQSession::RQSession() = default;

RQSession::RQSession(const RQSession&) {}

RQSession::~RQSession() = default;

RQSession& RQSession::operator=(const RQSession&) { return *this; }
