// Stand-in for the host's utility library Q: byte swaps and the report of a caught exception.
#include "host/libq/q_library.h"

#include <cstdio>

#include "shell/host_library_q.h"

namespace {
int32_t reportedExceptions = 0;
}

uint32_t Q_LongSwap(uint32_t value) {
    return (value >> 24) | ((value >> 8) & 0x0000FF00u) | ((value << 8) & 0x00FF0000u) | (value << 24);
}

uint16_t Q_ShortSwap(uint16_t value) { return static_cast<uint16_t>((value >> 8) | (value << 8)); }

int32_t Q_TranslateAndReportException(const std::exception& error) {
    ++reportedExceptions;
    std::fprintf(stderr, "kvhost: the plug-in reported an error: %s\n", error.what());
    return 0;
}

int32_t Q_ReportedExceptionCount() { return reportedExceptions; }
