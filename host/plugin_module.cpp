// Loading the plug-in module and calling its entry point; the module's exported symbols read from
// its dynamic symbol table; where the module lives; the texts of the result codes.
#include <cxxabi.h>
#include <dlfcn.h>
#include <elf.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "host/host_environment.h"
#include "host/resources/module_resources.h"

namespace host {

PluginModule::~PluginModule() {
    if (library_ != nullptr) dlclose(library_);
}

bool PluginModule::Load(const std::string& path) {
    if (library_ != nullptr) dlclose(library_);
    library_ = nullptr;
    entry_ = nullptr;
    path_ = path;
    error_.clear();

    // The host learns the entry point from the property list before it maps the module.
    std::string entryPoint;
    if (!ReadModuleProperties(path, &properties_, &entryPoint, &error_)) return false;

    library_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library_ == nullptr) {
        const char* reason = dlerror();
        error_ = reason != nullptr ? reason : path + ": cannot be loaded";
        return false;
    }
    entry_ = reinterpret_cast<FilterMainProc>(dlsym(library_, entryPoint.c_str()));
    if (entry_ == nullptr) {
        error_ = path + ": the entry point " + entryPoint + " named by its property list is not exported";
        dlclose(library_);
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

bool PluginModule::Exports(const std::string& symbol) const {
    return library_ != nullptr && LibraryExports(path_, symbol);
}

namespace {

// The name a defined symbol stands for: the demangled C++ name up to its parameter list, or the
// name itself when it is not a mangled one.
// The text in double quotes. (Built by appending: GCC 12 warns wrongly about a literal prefixed to
// a temporary string at -O3.)
std::string Quoted(const std::string& text) {
    std::string quoted(1, '"');
    quoted += text;
    quoted += '"';
    return quoted;
}

std::string PlainName(const char* name) {
    int status = 0;
    char* demangled = abi::__cxa_demangle(name, nullptr, nullptr, &status);
    if (status != 0 || demangled == nullptr) {
        std::free(demangled);
        return name;
    }
    std::string plain = demangled;
    std::free(demangled);
    const std::size_t parameters = plain.find('(');
    return parameters == std::string::npos ? plain : plain.substr(0, parameters);
}

// Whether [offset, offset + size) lies inside a file of length bytes.
bool Inside(uint64_t offset, uint64_t size, uint64_t length) { return offset <= length && size <= length - offset; }

constexpr std::size_t kLargestLibrary = 256u << 20;

}  // namespace

std::vector<std::string> LibraryExportedSymbols(const std::string& path) {
    std::vector<std::string> exported;
    std::ifstream file(path, std::ios::binary);
    if (!file) return {};
    std::string image;
    image.reserve(1 << 16);
    char chunk[1 << 16];
    while (file.read(chunk, sizeof chunk) || file.gcount() > 0) {
        image.append(chunk, static_cast<std::size_t>(file.gcount()));
        if (image.size() > kLargestLibrary) return {};
    }
    const uint64_t length = image.size();
    const char* bytes = image.data();

    Elf64_Ehdr header;
    if (length < sizeof header) return {};
    std::memcpy(&header, bytes, sizeof header);
    if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != ELFCLASS64 ||
        header.e_shentsize != sizeof(Elf64_Shdr) ||
        !Inside(header.e_shoff, uint64_t{header.e_shnum} * sizeof(Elf64_Shdr), length)) {
        return {};
    }
    auto section = [&](uint32_t index) {
        Elf64_Shdr entry;
        std::memcpy(&entry, bytes + header.e_shoff + uint64_t{index} * sizeof entry, sizeof entry);
        return entry;
    };

    for (uint32_t index = 0; index < header.e_shnum; ++index) {
        const Elf64_Shdr symbols = section(index);
        if (symbols.sh_type != SHT_DYNSYM || symbols.sh_link >= header.e_shnum) continue;
        const Elf64_Shdr strings = section(symbols.sh_link);
        if (!Inside(symbols.sh_offset, symbols.sh_size, length) ||
            !Inside(strings.sh_offset, strings.sh_size, length) || strings.sh_size == 0) {
            return {};
        }
        const char* names = bytes + strings.sh_offset;
        if (names[strings.sh_size - 1] != '\0') return {};
        for (uint64_t at = 0; at + sizeof(Elf64_Sym) <= symbols.sh_size; at += sizeof(Elf64_Sym)) {
            Elf64_Sym entry;
            std::memcpy(&entry, bytes + symbols.sh_offset + at, sizeof entry);
            const unsigned binding = ELF64_ST_BIND(entry.st_info);
            const unsigned visibility = ELF64_ST_VISIBILITY(entry.st_other);
            if (entry.st_shndx == SHN_UNDEF || entry.st_name >= strings.sh_size) continue;
            if (binding != STB_GLOBAL && binding != STB_WEAK && binding != STB_GNU_UNIQUE) continue;
            if (visibility != STV_DEFAULT && visibility != STV_PROTECTED) continue;
            exported.emplace_back(names + entry.st_name);
        }
    }
    return exported;
}

bool LibraryExports(const std::string& path, const std::string& symbol) {
    for (const std::string& name : LibraryExportedSymbols(path)) {
        if (symbol == name || symbol == PlainName(name.c_str())) return true;
    }
    return false;
}

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
    char program[4096];
    const ssize_t length = readlink("/proc/self/exe", program, sizeof program - 1);
    if (length <= 0) return "JPEG.kvx";
    const std::string self(program, static_cast<std::size_t>(length));
    const std::size_t slash = self.rfind('/');
    if (slash == std::string::npos) return "JPEG.kvx";
    // In the build folder the module sits beside the program; installed, the program is in
    // PREFIX/bin and the module with the host's libraries in PREFIX/lib/kvhost.
    const std::string beside = self.substr(0, slash + 1) + "JPEG.kvx";
    const std::string installed = self.substr(0, slash + 1) + "../lib/kvhost/JPEG.kvx";
    if (access(beside.c_str(), F_OK) != 0 && access(installed.c_str(), F_OK) == 0) return installed;
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
