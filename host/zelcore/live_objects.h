// What the toolkit libraries have alive, for the host's own checks: every test and kvhost verb that
// shows a dialog ends with all of it at zero.
#pragma once

#include <cstdint>

#include "dialog/toolkit/zelcore.h"

namespace zelcore::diagnostics {

struct LiveObjects {
    int64_t counted = 0;         // RefCountedObjectWithWeakPtr objects not yet destroyed
    int64_t weakHandles = 0;     // weak handles that Lock can still resolve
    int64_t recycledBlocks = 0;  // MemoryRecycler blocks handed out and not given back
    int64_t errors = 0;          // host error objects not yet destroyed
    bool operator==(const LiveObjects&) const = default;
};

ZELCORE_API LiveObjects CountLiveObjects();

}  // namespace zelcore::diagnostics
