// Reading a module file's resources on Linux: the ELF section headers, the ".kvrsrc" section, and
// the resource block's directory checked entry by entry. From a file only the headers and the block
// are read, not the whole module.
#include <elf.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cstdio>
#include <functional>
#include <memory>
#include <string_view>
#include <vector>

#include "host/resources/module_resources.h"
#include "include/kvx_resource_block.h"

namespace host {
namespace {

// No module's resources come near this; a larger block is not read into memory.
constexpr uint64_t kLargestBlock = 256u << 20;

uint32_t Get32(const uint8_t* bytes) {
    return uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 | uint32_t{bytes[3]} << 24;
}
uint16_t Get16(const uint8_t* bytes) { return static_cast<uint16_t>(bytes[0] | bytes[1] << 8); }

// Whether [offset, offset + size) lies inside length bytes.
bool Inside(uint64_t offset, uint64_t size, uint64_t length) { return offset <= length && size <= length - offset; }

// Finds the resource section of an ELF file of length bytes, whose bytes read fetches: sets
// *offset and *size, or answers why not (an empty answer is success). Only the header, the section
// headers and their names are read.
std::string FindResourceSection(uint64_t length, const std::function<bool(uint64_t, uint64_t, void*)>& read,
                                uint64_t* offset, uint64_t* size) {
    Elf64_Ehdr header;
    unsigned char magic[SELFMAG];
    if (length < SELFMAG || !read(0, SELFMAG, magic) || std::memcmp(magic, ELFMAG, SELFMAG) != 0) {
        return "not a module: not an ELF file";
    }
    if (length < sizeof header || !read(0, sizeof header, &header)) return "not a module: the ELF header is cut short";
    if (header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_ident[EI_DATA] != ELFDATA2LSB) {
        return "not a module for this host: not a 64-bit little-endian ELF file";
    }
    std::vector<Elf64_Shdr> sections(header.e_shnum);
    if (header.e_shentsize != sizeof(Elf64_Shdr) || header.e_shstrndx >= header.e_shnum ||
        !Inside(header.e_shoff, uint64_t{header.e_shnum} * sizeof(Elf64_Shdr), length) ||
        !read(header.e_shoff, sections.size() * sizeof(Elf64_Shdr), sections.data())) {
        return "damaged ELF file: its section headers lie outside the file";
    }
    const Elf64_Shdr& names = sections[header.e_shstrndx];
    std::vector<char> nameBytes;
    if (Inside(names.sh_offset, names.sh_size, length)) nameBytes.resize(names.sh_size);
    if (!Inside(names.sh_offset, names.sh_size, length) || !read(names.sh_offset, names.sh_size, nameBytes.data())) {
        return "damaged ELF file: its section names lie outside the file";
    }
    const std::string_view wanted(kvx::kResourceSectionName);
    for (const Elf64_Shdr& candidate : sections) {
        if (candidate.sh_name >= names.sh_size) continue;
        const char* name = nameBytes.data() + candidate.sh_name;
        const std::size_t room = names.sh_size - candidate.sh_name;
        if (strnlen(name, room) != wanted.size() || wanted != std::string_view(name, wanted.size())) continue;
        if (candidate.sh_type == SHT_NOBITS || !Inside(candidate.sh_offset, candidate.sh_size, length)) {
            return "damaged resources: the " + std::string(wanted) + " section lies outside the file";
        }
        *offset = candidate.sh_offset;
        *size = candidate.sh_size;
        return std::string();
    }
    return "carries no module resources (no " + std::string(wanted) + " section)";
}

}  // namespace

bool ModuleResources::Open(const std::string& path) {
    label_ = path;
    image_.clear();
    entries_.clear();
    error_.clear();
    // stdio rather than a stream: a host that only reads the property list does not pay for the
    // streams' locale.
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return Fail(std::string("cannot be read (") + std::strerror(errno) + ")");
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> closer(file, std::fclose);
    const off_t end = fseeko(file, 0, SEEK_END) == 0 ? ftello(file) : -1;
    if (end < 0) return Fail("cannot be read");
    auto read = [file](uint64_t at, uint64_t count, void* out) {
        return fseeko(file, static_cast<off_t>(at), SEEK_SET) == 0 && std::fread(out, 1, count, file) == count;
    };
    char first;
    if (end > 0 && !read(0, 1, &first)) return Fail(std::string("cannot be read (") + std::strerror(errno) + ")");
    uint64_t offset = 0, size = 0;
    const std::string why = FindResourceSection(static_cast<uint64_t>(end), read, &offset, &size);
    if (!why.empty()) return Fail(why);
    // Only the resource block is kept.
    if (size > kLargestBlock) return Fail("damaged resources: the resource block is larger than any (over 256 MiB)");
    image_.resize(size);
    if (!read(offset, size, image_.data())) return Fail("cannot be read");
    return ParseBlock(0, size);
}

bool ModuleResources::OpenImage(std::vector<uint8_t> image, const std::string& label) {
    label_ = label;
    image_ = std::move(image);
    entries_.clear();
    error_.clear();
    auto read = [this](uint64_t at, uint64_t count, void* out) {
        std::memcpy(out, image_.data() + at, count);
        return true;
    };
    uint64_t offset = 0, size = 0;
    const std::string why = FindResourceSection(image_.size(), read, &offset, &size);
    if (!why.empty()) return Fail(why);
    return ParseBlock(offset, size);
}

bool ModuleResources::ParseBlock(uint64_t offset, uint64_t size) {
    const uint8_t* block = image_.data() + offset;
    blockOffset_ = offset;
    if (size < kvx::kResourceHeaderSize) {
        return Fail("damaged resources: the resource block is cut short (" + std::to_string(size) +
                    " bytes, its header alone takes " + std::to_string(kvx::kResourceHeaderSize) + ")");
    }
    if (std::memcmp(block, kvx::kResourceSignature, sizeof kvx::kResourceSignature) != 0) {
        return Fail("damaged resources: the resource block does not begin with \"KVRS\"");
    }
    const uint16_t layout = Get16(block + kvx::headerLayout);
    const uint16_t entrySize = Get16(block + kvx::headerEntrySize);
    if (layout != kvx::kResourceBlockLayout || entrySize != kvx::kResourceEntrySize) {
        return Fail("resource block of an unknown layout (" + std::to_string(layout) + ", entries of " +
                    std::to_string(entrySize) + " bytes)");
    }
    const uint32_t count = Get32(block + kvx::headerCount);
    const uint32_t directoryEnd = Get32(block + kvx::headerDirectoryEnd);
    const uint32_t blockSize = Get32(block + kvx::headerBlockSize);
    const uint64_t countEnd = kvx::kResourceHeaderSize + uint64_t{count} * kvx::kResourceEntrySize;
    if (countEnd != directoryEnd) {
        return Fail("damaged resources: the resource directory's count (" + std::to_string(count) +
                    " entries, ending at byte " + std::to_string(countEnd) + ") disagrees with its end at byte " +
                    std::to_string(directoryEnd));
    }
    if (directoryEnd > size || directoryEnd > blockSize) {
        return Fail("damaged resources: the resource directory is truncated (" + std::to_string(count) +
                    " entries end at byte " + std::to_string(directoryEnd) + ", the block holds " +
                    std::to_string(std::min<uint64_t>(size, blockSize)) + ")");
    }
    if (blockSize > size) {
        return Fail("damaged resources: the resource block claims " + std::to_string(blockSize) +
                    " bytes but its section holds " + std::to_string(size));
    }

    // A name: a NUL-terminated string behind the directory, inside the block.
    auto nameAt = [&](uint32_t at, std::string* out) {
        if (at < directoryEnd || at >= blockSize) return false;
        const char* text = reinterpret_cast<const char*>(block + at);
        const std::size_t length = strnlen(text, blockSize - at);
        if (length == blockSize - at || length == 0) return false;
        out->assign(text, length);
        return true;
    };
    std::vector<ResourceEntry> entries;
    entries.reserve(count);
    for (uint32_t index = 0; index < count; ++index) {
        const uint8_t* field = block + kvx::kResourceHeaderSize + uint64_t{index} * kvx::kResourceEntrySize;
        ResourceEntry entry;
        const uint32_t typeName = Get32(field + kvx::entryTypeName);
        const uint32_t name = Get32(field + kvx::entryName);
        entry.typeId = Get32(field + kvx::entryTypeId);
        entry.id = Get32(field + kvx::entryId);
        entry.language = Get32(field + kvx::entryLanguage);
        entry.offset = Get32(field + kvx::entryOffset);
        entry.size = Get32(field + kvx::entrySize);
        const std::string which = "resource " + std::to_string(index + 1) + " of " + std::to_string(count);
        if ((typeName != 0 && !nameAt(typeName, &entry.type)) || (name != 0 && !nameAt(name, &entry.name))) {
            return Fail("damaged resources: " + which + " has a name outside the block");
        }
        if (entry.offset < directoryEnd || !Inside(entry.offset, entry.size, blockSize)) {
            return Fail("damaged resources: " + which + " (" + entry.TypeText() + " " + entry.NameText() +
                        ") claims bytes " + std::to_string(entry.offset) + " to " +
                        std::to_string(uint64_t{entry.offset} + entry.size) + ", outside the block of " +
                        std::to_string(blockSize));
        }
        entries.push_back(std::move(entry));
    }
    entries_ = std::move(entries);
    return true;
}

}  // namespace host
