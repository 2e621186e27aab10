// Reading a module file's resources on Linux: the ELF section headers, the ".kvrsrc" section, and
// the resource block's directory checked entry by entry.
#include <elf.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>

#include "host/resources/module_resources.h"
#include "include/kvx_resource_block.h"

namespace host {
namespace {

// No module comes near this; a larger file is not read into memory.
constexpr uint64_t kLargestModule = 256u << 20;

uint32_t Get32(const uint8_t* bytes) {
    return uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 | uint32_t{bytes[3]} << 24;
}
uint16_t Get16(const uint8_t* bytes) { return static_cast<uint16_t>(bytes[0] | bytes[1] << 8); }

// Whether [offset, offset + size) lies inside length bytes.
bool Inside(uint64_t offset, uint64_t size, uint64_t length) { return offset <= length && size <= length - offset; }

}  // namespace

bool ModuleResources::Open(const std::string& path) {
    label_ = path;
    std::ifstream file(path, std::ios::binary);
    if (!file) return Fail(std::string("cannot be read (") + std::strerror(errno) + ")");
    std::vector<uint8_t> image;
    char chunk[1 << 16];
    while (file.read(chunk, sizeof chunk) || file.gcount() > 0) {
        image.insert(image.end(), chunk, chunk + file.gcount());
        if (image.size() > kLargestModule) return Fail("is larger than any module (over 256 MiB)");
    }
    if (file.bad()) return Fail("cannot be read");
    return OpenImage(std::move(image), path);
}

bool ModuleResources::OpenImage(std::vector<uint8_t> image, const std::string& label) {
    label_ = label;
    image_ = std::move(image);
    entries_.clear();
    error_.clear();
    const uint64_t length = image_.size();
    const uint8_t* bytes = image_.data();

    Elf64_Ehdr header;
    if (length < SELFMAG || std::memcmp(bytes, ELFMAG, SELFMAG) != 0) return Fail("not a module: not an ELF file");
    if (length < sizeof header) return Fail("not a module: the ELF header is cut short");
    std::memcpy(&header, bytes, sizeof header);
    if (header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_ident[EI_DATA] != ELFDATA2LSB) {
        return Fail("not a module for this host: not a 64-bit little-endian ELF file");
    }
    if (header.e_shentsize != sizeof(Elf64_Shdr) || header.e_shstrndx >= header.e_shnum ||
        !Inside(header.e_shoff, uint64_t{header.e_shnum} * sizeof(Elf64_Shdr), length)) {
        return Fail("damaged ELF file: its section headers lie outside the file");
    }
    auto section = [&](uint32_t index) {
        Elf64_Shdr entry;
        std::memcpy(&entry, bytes + header.e_shoff + uint64_t{index} * sizeof entry, sizeof entry);
        return entry;
    };
    const Elf64_Shdr names = section(header.e_shstrndx);
    if (!Inside(names.sh_offset, names.sh_size, length)) {
        return Fail("damaged ELF file: its section names lie outside the file");
    }
    const std::string_view wanted(kvx::kResourceSectionName);
    for (uint32_t index = 0; index < header.e_shnum; ++index) {
        const Elf64_Shdr candidate = section(index);
        if (candidate.sh_name >= names.sh_size) continue;
        const char* name = reinterpret_cast<const char*>(bytes + names.sh_offset + candidate.sh_name);
        const std::size_t room = names.sh_size - candidate.sh_name;
        if (strnlen(name, room) != wanted.size() || wanted != std::string_view(name, wanted.size())) continue;
        if (candidate.sh_type == SHT_NOBITS || !Inside(candidate.sh_offset, candidate.sh_size, length)) {
            return Fail("damaged resources: the " + std::string(wanted) + " section lies outside the file");
        }
        return ParseBlock(candidate.sh_offset, candidate.sh_size);
    }
    return Fail("carries no module resources (no " + std::string(wanted) + " section)");
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
