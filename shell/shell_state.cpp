// The shell's process-wide state and the mapping of codec failures to host results.
#include "shell/shell_state.h"

#include "codec/codec_errors.h"
#include "shell/handlers.h"

int16_t lastError = resultOk;
HostFormatRecord* currentRecord = nullptr;

int16_t MapCodecFailure(int category) {
    if (lastError != resultOk) return lastError;
    switch (category) {
        case categoryNoMemory: lastError = resultOutOfMemory; break;
        case categorySourceFailed:
        case 11:
        case categoryBadData:
        case categoryLimit: lastError = resultCannotRead; break;
        default: lastError = resultCodecFailure; break;
    }
    return lastError;
}
