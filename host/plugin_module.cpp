// Loading the plug-in module and calling its entry point; where the module lives; the texts of the
// result codes.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "host/host_environment.h"
#include "host/platform.h"
#include "host/resources/module_resources.h"

namespace host {

PluginModule::~PluginModule() {
    if (library_ != nullptr && !leaveLoaded_) platform::FreeModuleLibrary(library_);
}

bool PluginModule::Load(const std::string& path) {
    if (library_ != nullptr) platform::FreeModuleLibrary(library_);
    library_ = nullptr;
    entry_ = nullptr;
    path_ = path;
    error_.clear();

    // The host learns the entry point from the property list before it maps the module.
    std::string entryPoint;
    if (!ReadModuleProperties(path, &properties_, &entryPoint, &error_)) return false;

    library_ = platform::LoadModuleLibrary(path, &error_);
    if (library_ == nullptr) return false;
    entry_ = reinterpret_cast<FilterMainProc>(platform::ModuleFunction(library_, entryPoint));
    if (entry_ == nullptr) {
        error_ = path + ": the entry point " + entryPoint + " named by its property list is not exported";
        platform::FreeModuleLibrary(library_);
        library_ = nullptr;
        return false;
    }
    return true;
}

const std::string& PluginModule::Error() const { return error_; }

int16_t PluginModule::Call(int16_t selector, intptr_t data) {
    if (entry_ == nullptr) {
        std::fprintf(stderr, "host: FilterMain called without a loaded module\n");
        std::abort();
    }
    // A value the entry point must overwrite: it clears the word before it dispatches.
    int16_t result = 0x5A5A;
    entry_(selector, HostEnvironment::Instance().Record(), data, &result);
    return result;
}

namespace {

// The text in double quotes. (Built by appending: GCC 12 warns wrongly about a literal prefixed to
// a temporary string at -O3.)
std::string Quoted(const std::string& text) {
    std::string quoted(1, '"');
    quoted += text;
    quoted += '"';
    return quoted;
}

}  // namespace

bool ReadModuleProperties(const std::string& path, PropertyList* list, std::string* entryPoint, std::string* error) {
    *list = PropertyList{};
    entryPoint->clear();
    ModuleResources resources;
    if (!resources.Open(path)) {
        *error = resources.Error();
        return false;
    }
    const ResourceEntry* entry = resources.Find(kPropertyListType, kPropertyListId, kPropertyListLanguage);
    if (entry == nullptr) entry = resources.Find(kPropertyListType, kPropertyListId);
    if (entry == nullptr) {
        *error = path + ": carries no plug-in property list (resource " + kPropertyListType + " " +
                 std::to_string(kPropertyListId) + ")";
        return false;
    }
    std::string why;
    if (!ParsePropertyList(resources.Bytes(*entry), list, &why)) {
        *error = path + ": " + why;
        return false;
    }
    const Property* kind = list->Find(FourCharCode("kind"));
    if (kind == nullptr || kind->data.size() != 4 || kind->Word(0) != kFileFormatKind) {
        *error = path + ": is not a file-format plug-in (its \"kind\" is " +
                 (kind == nullptr ? std::string("missing") : Quoted(FourCharText(kind->Word(0)))) + ", not \"" +
                 FourCharText(kFileFormatKind) + "\")";
        return false;
    }
    const Property* version = list->Find(FourCharCode("vers"));
    if (version == nullptr || version->data.size() != 4 || version->Word(0) >> 16 != kInterfaceMajor) {
        *error = path + ": speaks an interface this host does not know (" +
                 (version == nullptr ? std::string("no \"vers\"")
                                     : "version " + std::to_string(version->Word(0) >> 16) + "." +
                                           std::to_string(version->Word(0) & 0xFFFF)) +
                 "; this host speaks " + std::to_string(kInterfaceMajor) + ".x)";
        return false;
    }
    const Property* code = list->Find(FourCharCode("8664"));
    if (code != nullptr && !code->data.empty()) {
        const auto* text = reinterpret_cast<const char*>(code->data.data());
        entryPoint->assign(text, strnlen(text, code->data.size()));
    }
    if (code == nullptr || entryPoint->empty() || entryPoint->size() == code->data.size()) {
        *error = path + ": its property list names no x86-64 entry point (\"8664\")";
        entryPoint->clear();
        return false;
    }
    return true;
}

std::string DefaultModulePath() {
    const char* chosen = std::getenv("KVX_MODULE");
    if (chosen != nullptr && *chosen != '\0') return chosen;
    const std::string self = platform::ProgramPath();
    std::size_t slash = self.size();
    while (slash > 0 && !platform::IsSeparator(self[slash - 1])) --slash;
    if (slash == 0) return "JPEG.kvx";
    --slash;
    // In the build folder the module sits beside the program; installed, the program is in
    // PREFIX/bin and the module with the host's libraries in PREFIX/lib/kvhost.
    const std::string beside = self.substr(0, slash + 1) + "JPEG.kvx";
    const std::string installed = self.substr(0, slash + 1) + "../lib/kvhost/JPEG.kvx";
    std::error_code ignored;
    if (!std::filesystem::exists(beside, ignored) && std::filesystem::exists(installed, ignored)) return installed;
    return beside;
}

std::string DescribeResult(int16_t result) {
    const char* text;
    switch (result) {
        case resultOk: text = "ok"; break;
        case resultBadParameters: text = "bad parameters or unsupported request"; break;
        case resultCannotRead: text = "not a JPEG"; break;
        case resultOutOfMemory: text = "out of memory"; break;
        case resultCancelled: text = "cancelled"; break;
        case resultIoError: text = "I/O error"; break;
        case resultEndOfFile: text = "file too short"; break;
        case resultCodecFailure: text = "codec failure"; break;
        default: text = "unknown result"; break;
    }
    return std::to_string(result) + " " + text;
}

}  // namespace host
