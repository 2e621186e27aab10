// Reading a module file's resources on Windows: the DLL is mapped as a data file (its code never
// runs, its imports are not loaded), its resources enumerated by type, name and language and
// copied out with FindResourceEx and LoadResource.
#include <windows.h>

#include <cerrno>
#include <cstring>

#include "host/resources/module_resources.h"

namespace host {
namespace {

struct Enumeration {
    HMODULE module = nullptr;
    std::vector<ResourceEntry>* entries = nullptr;
    std::vector<uint8_t>* image = nullptr;
    bool damaged = false;
};

// A resource type or name as the enumeration hands it over: a number, or a string that is the
// name (ASCII, as every type and name a module of ours carries).
void Take(LPCWSTR given, std::string* name, uint32_t* id) {
    name->clear();
    *id = 0;
    if (IS_INTRESOURCE(given)) {
        *id = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(given));
        return;
    }
    for (const wchar_t* c = given; *c != L'\0'; ++c) name->push_back(*c > 0 && *c < 0x7F ? static_cast<char>(*c) : '?');
}

BOOL CALLBACK OnLanguage(HMODULE module, LPCWSTR type, LPCWSTR name, WORD language, LONG_PTR context) {
    auto* found = reinterpret_cast<Enumeration*>(context);
    ResourceEntry entry;
    Take(type, &entry.type, &entry.typeId);
    Take(name, &entry.name, &entry.id);
    entry.language = language;
    const HRSRC resource = FindResourceExW(module, type, name, language);
    const HGLOBAL loaded = resource != nullptr ? LoadResource(module, resource) : nullptr;
    const void* bytes = loaded != nullptr ? LockResource(loaded) : nullptr;
    if (bytes == nullptr) {
        found->damaged = true;
        return FALSE;
    }
    entry.size = SizeofResource(module, resource);
    entry.offset = static_cast<uint32_t>(found->image->size());
    const auto* first = static_cast<const uint8_t*>(bytes);
    found->image->insert(found->image->end(), first, first + entry.size);
    found->entries->push_back(std::move(entry));
    return TRUE;
}

BOOL CALLBACK OnName(HMODULE module, LPCWSTR type, LPWSTR name, LONG_PTR context) {
    EnumResourceLanguagesW(module, type, name, OnLanguage, context);
    return !reinterpret_cast<Enumeration*>(context)->damaged;
}

BOOL CALLBACK OnType(HMODULE module, LPWSTR type, LONG_PTR context) {
    EnumResourceNamesW(module, type, OnName, context);
    return !reinterpret_cast<Enumeration*>(context)->damaged;
}

std::wstring Wide(const std::string& text) {
    const int length = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length > 0 ? length : 1), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, wide.data(), length);
    wide.pop_back();
    return wide;
}

}  // namespace

bool ModuleResources::Open(const std::string& path) {
    label_ = path;
    image_.clear();
    entries_.clear();
    error_.clear();
    blockOffset_ = 0;
    const std::wstring wide = Wide(path);
    if (GetFileAttributesW(wide.c_str()) == INVALID_FILE_ATTRIBUTES) {
        return Fail(std::string("cannot be read (") + std::strerror(ENOENT) + ")");
    }
    const HMODULE module = LoadLibraryExW(wide.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (module == nullptr) return Fail("not a module: not a Windows module file");
    Enumeration found;
    found.module = module;
    found.entries = &entries_;
    found.image = &image_;
    const bool any = EnumResourceTypesW(module, OnType, reinterpret_cast<LONG_PTR>(&found)) != FALSE;
    FreeLibrary(module);
    if (found.damaged) return Fail("damaged resources: a resource cannot be loaded");
    if (!any && entries_.empty()) return Fail("carries no module resources");
    return true;
}

}  // namespace host
