// The shell's process-wide state: the outcome of the last stream or memory operation and the host
// block of the running read or write.
#include "shell/shell_state.h"

int16_t kv::codec::lastError = resultOk;

namespace kv::shell {

HostFormatRecord* currentRecord = nullptr;

}  // namespace kv::shell
