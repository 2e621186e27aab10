// The failing disk on Windows: not built. The module's file calls go straight to the system there,
// so nothing is counted; asking for a failure is a mistake of the caller (the fault tests run on
// the Linux build, whose interposed calls are in file_faults.cpp).
#include <cstdio>
#include <cstdlib>

#include "host/file_faults.h"

namespace host {

void WatchPluginFile(const HostFormatRecord*) {}

void FailFileCallAt(FileCall, int64_t nth, bool) {
    if (nth == 0) return;
    std::fprintf(stderr, "host: the failing disk is not available on Windows\n");
    std::abort();
}

int64_t FileCallCount(FileCall) { return 0; }

int64_t FailedFileCallCount() { return 0; }

void ResetFileFaults() {}

}  // namespace host
