// The estimate selectors: the plug-in asks for as many bytes as the uncompressed image holds.
#include "shell/handlers.h"
#include "shell/shell_state.h"

namespace kv::shell {

void EstimatePrepare(HostFormatRecord*, intptr_t, int16_t*) { lastError = resultOk; }

void EstimateStart(HostFormatRecord* record, intptr_t, int16_t*) {
    // Sign-extended 16-bit fields multiplied in 32 bits, wrapping as the host's own arithmetic does.
    const uint32_t estimate = static_cast<uint32_t>(int32_t{record->columns}) *
                              static_cast<uint32_t>(int32_t{record->planes}) *
                              static_cast<uint32_t>(int32_t{record->rows});
    record->minEstimate = static_cast<int32_t>(estimate);
    record->maxEstimate = static_cast<int32_t>(estimate);
}

}  // namespace kv::shell
