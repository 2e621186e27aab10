// The toolkit's resource manager: the resources of one module, found through the module's handle
// (module_resource_posix.cpp, module_resource_windows.cpp), or in the host's layout folder when it
// holds a resource of the same type and name.
#include <map>
#include <string>
#include <utility>

#include "host/zelui/module_resource.h"
#include "host/zelui/resource_override.h"

namespace zelui::utility {
namespace {

// Resources given in place of the modules' own, keyed by upper-case type and name.
std::map<std::pair<std::string, std::string>, std::string>& Overrides() {
    static auto* overrides = new std::map<std::pair<std::string, std::string>, std::string>;
    return *overrides;
}

std::string UpperCase(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return text;
}

// Resource types and names are ASCII; anything else cannot name a resource and matches nothing.
bool Narrow(const zelcore::UTF16String& wide, std::string* narrow) {
    narrow->clear();
    for (wchar_t c : wide) {
        if (c <= 0 || c > 0x7E) return false;
        narrow->push_back(static_cast<char>(c));
    }
    return true;
}

bool Lookup(HINSTANCE module, const zelcore::UTF16String& wideName, const zelcore::UTF16String& wideType,
            std::vector<char>* bytes) {
    std::string name, type;
    if (!Narrow(wideName, &name) || !Narrow(wideType, &type)) return false;
    const auto replaced = Overrides().find({UpperCase(type), UpperCase(name)});
    if (replaced != Overrides().end()) {
        if (bytes != nullptr) bytes->insert(bytes->end(), replaced->second.begin(), replaced->second.end());
        return true;
    }
    return ReadModuleResource(module, type, name, bytes);
}

}  // namespace

void OverrideResource(const std::string& type, const std::string& name, const std::string& bytes) {
    Overrides()[{UpperCase(type), UpperCase(name)}] = bytes;
}

void ClearResourceOverrides() { Overrides().clear(); }

OS_ResourceManager::OS_ResourceManager(HINSTANCE module) : module_(module) {}
OS_ResourceManager::~OS_ResourceManager() = default;

void OS_ResourceManager::GetBinary(const zelcore::UTF16String& name, const zelcore::UTF16String& type,
                                   std::vector<char>* bytes) const {
    Lookup(module_, name, type, bytes);
}

bool OS_ResourceManager::HasBinary(const zelcore::UTF16String& name, const zelcore::UTF16String& type) const {
    return Lookup(module_, name, type, nullptr);
}

}  // namespace zelui::utility
