// Process-wide state shared by the shell and the codec: the outcome of the last stream or memory
// operation and the host block of the running read or write. One copy per loaded module; the host
// calls one request at a time on one thread, so nothing here is locked.
#pragma once

#include <cstdint>

#include "codec/codec_io.h"
#include "shell/host_record.h"

namespace kv::shell {

// The shell and the codec share one lastError.
using codec::lastError;

// lastError, the outcome of the last stream or memory operation, is declared with the codec's
// services.

// The host block of the running read or write, set by the prepare selectors; the memory service
// reaches the host's handle suite through it.
extern HostFormatRecord* currentRecord;

}  // namespace kv::shell
