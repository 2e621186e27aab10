// The write selectors: prepare, start, continue and finish of writing the host's frame as JPEG.
#include "shell/handlers.h"
#include "shell/shell_state.h"

void WritePrepare(HostFormatRecord* record, intptr_t, int16_t*) {
    record->bufferMemory = 0;
    lastError = resultOk;
    currentRecord = record;
}

// The encoder is not built yet: writing is refused as an unsupported request.
void WriteStart(HostFormatRecord*, intptr_t, int16_t* result) { *result = resultBadParameters; }
void WriteContinue(HostFormatRecord*, intptr_t, int16_t* result) { *result = resultBadParameters; }
void WriteFinish(HostFormatRecord*, intptr_t, int16_t* result) { *result = resultBadParameters; }
