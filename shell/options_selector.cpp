// The options selector, which will run the "JPEG Options" dialog on the stored record.
#include "shell/handlers.h"

// The dialog is not built yet: the request is refused as unsupported.
void OptionsStart(HostFormatRecord*, intptr_t, int16_t* result) { *result = resultBadParameters; }
