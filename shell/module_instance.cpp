// Learning the module's handle when the module is attached to the process.
#include "shell/module_instance.h"

namespace {
HINSTANCE moduleInstance = nullptr;
}

#if defined(_WIN32)

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) moduleInstance = instance;
    return TRUE;
}

#else

// The linker places this symbol at the ELF header of the object being linked, the first byte of
// the module in memory: the counterpart of a Windows module handle.
extern "C" const char __ehdr_start[] __attribute__((visibility("hidden")));

namespace {
__attribute__((constructor)) void AttachModule() {
    moduleInstance = reinterpret_cast<HINSTANCE>(const_cast<char*>(__ehdr_start));
}
}  // namespace

#endif

HINSTANCE kv::shell::ModuleInstance() { return moduleInstance; }
