// The module's own handle, as the operating system gave it when it attached the module to the
// process: what the resource manager needs to find the module's resources.
#pragma once

#include "dialog/toolkit/zelui.h"

namespace kv::shell {

HINSTANCE ModuleInstance();

}  // namespace kv::shell
