// A module's own resource on Linux: the module handle is the address of the module's ELF header,
// from which the dynamic linker names the module's file; the host's reader reads the resource
// from that file, never by running the module.
#include <dlfcn.h>

#include "host/resources/module_resources.h"
#include "host/zelui/module_resource.h"

namespace zelui::utility {

bool ReadModuleResource(HINSTANCE module, const std::string& type, const std::string& name, std::vector<char>* bytes) {
    Dl_info info{};
    if (module == nullptr || dladdr(reinterpret_cast<const void*>(module), &info) == 0 || info.dli_fname == nullptr) {
        return false;
    }
    host::ModuleResources resources;
    if (!resources.Open(info.dli_fname)) return false;
    std::vector<uint8_t> found;
    if (!resources.Load(type, name, host::kAnyLanguage, &found)) return false;
    if (bytes != nullptr) bytes->insert(bytes->end(), found.begin(), found.end());
    return true;
}

}  // namespace zelui::utility
