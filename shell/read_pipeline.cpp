// The read selectors: prepare, start, continue and finish of reading a JPEG into the host.
#include "shell/handlers.h"
#include "shell/shell_state.h"

void ReadPrepare(HostFormatRecord* record, intptr_t, int16_t*) {
    record->bufferMemory = 0;
    lastError = resultOk;
    currentRecord = record;
}

// The decoder is not built yet: reading is refused as an unsupported request.
void ReadStart(HostFormatRecord*, intptr_t, int16_t* result) { *result = resultBadParameters; }
void ReadContinue(HostFormatRecord*, intptr_t, int16_t* result) { *result = resultBadParameters; }
void ReadFinish(HostFormatRecord*, intptr_t, int16_t* result) { *result = resultBadParameters; }
