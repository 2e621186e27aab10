// A module's own resource on Windows: FindResource and LoadResource on the module handle the
// module received in DllMain. Windows compares resource types and names without regard to case.
#include <windows.h>

#include "host/zelui/module_resource.h"

namespace zelui::utility {

bool ReadModuleResource(HINSTANCE module, const std::string& type, const std::string& name, std::vector<char>* bytes) {
    if (module == nullptr) return false;
    const std::wstring wideType(type.begin(), type.end());
    const std::wstring wideName(name.begin(), name.end());
    const HRSRC resource = FindResourceW(module, wideName.c_str(), wideType.c_str());
    if (resource == nullptr) return false;
    const HGLOBAL loaded = LoadResource(module, resource);
    const auto* first = loaded != nullptr ? static_cast<const char*>(LockResource(loaded)) : nullptr;
    if (first == nullptr) return false;
    if (bytes != nullptr) bytes->insert(bytes->end(), first, first + SizeofResource(module, resource));
    return true;
}

}  // namespace zelui::utility
