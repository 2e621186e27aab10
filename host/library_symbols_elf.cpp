// The exported symbols of a shared object, read from its ELF dynamic symbol table: what the tests
// ask of the module and the host's libraries on Linux.
#include <cxxabi.h>
#include <elf.h>

#include <cstdlib>
#include <cstring>
#include <fstream>

#include "host/host_environment.h"

namespace host {

bool PluginModule::Exports(const std::string& symbol) const {
    return library_ != nullptr && LibraryExports(path_, symbol);
}

namespace {

// The name a defined symbol stands for: the demangled C++ name up to its parameter list, or the
// name itself when it is not a mangled one.
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

}  // namespace host
