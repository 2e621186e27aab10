// The host's reader of module resources: opens a module file without loading it, lists the
// resources it carries and finds one by type, name or ID, and language, the way the host's own
// resource lookup does on Windows (types and names compared without regard to ASCII case; a name
// written "#16000" stands for the ID 16000).
//
// On Linux a module carries its resources in the ".kvrsrc" section of its ELF file (the block is
// laid out in include/kvx_resource_block.h); the reader parses the ELF section headers itself
// (module_resources_elf.cpp). On Windows they are the DLL's own resources, which the reader
// enumerates on the DLL mapped as a data file (module_resources_windows.cpp).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace host {

// Language argument of Find that takes the first entry of any language.
inline constexpr uint32_t kAnyLanguage = UINT32_MAX;

struct ResourceEntry {
    std::string type;    // the type's name as stored, or "" when the type is a number
    uint32_t typeId = 0;
    std::string name;    // the resource's name as stored, or "" when it is known by its ID
    uint32_t id = 0;
    uint32_t language = 0;
    uint32_t offset = 0;  // of its bytes within the resource block
    uint32_t size = 0;

    // "PIPL" or "#10"; "JPEGOPTIONS.ZOPA" or "#16000".
    std::string TypeText() const;
    std::string NameText() const;
};

class ModuleResources {
public:
    // Reads the module file at path. False, with Error() saying why (the path first), when the
    // file cannot be read, is not an ELF file, carries no resource section, or its resource
    // block is damaged: every entry is checked to lie inside the block when the file is opened.
    bool Open(const std::string& path);
#if !defined(_WIN32)
    // The same on an ELF file image already in memory; label stands for the path in error texts.
    bool OpenImage(std::vector<uint8_t> image, const std::string& label);
#endif

    const std::string& Error() const { return error_; }
    const std::vector<ResourceEntry>& Entries() const { return entries_; }

    // The first entry of this type and name (or "#ID") in this language (kAnyLanguage: any), or
    // null.
    const ResourceEntry* Find(std::string_view type, std::string_view name, uint32_t language = kAnyLanguage) const;
    const ResourceEntry* Find(std::string_view type, uint32_t id, uint32_t language = kAnyLanguage) const;

    // The bytes of an entry of Entries() (or from Find).
    std::vector<uint8_t> Bytes(const ResourceEntry& entry) const;
    // Find and Bytes together: appends the resource's bytes to *out; false when there is none.
    bool Load(std::string_view type, std::string_view name, uint32_t language, std::vector<uint8_t>* out) const;

private:
    bool Fail(const std::string& why);
#if !defined(_WIN32)
    bool ParseBlock(uint64_t offset, uint64_t size);
#endif

    std::string label_;
    std::vector<uint8_t> image_;
    uint64_t blockOffset_ = 0;  // of the resource block within image_
    std::vector<ResourceEntry> entries_;
    std::string error_;
};

// Whether two resource types or names are the same for the host: equal but for ASCII case.
bool SameResourceName(std::string_view a, std::string_view b);

}  // namespace host
