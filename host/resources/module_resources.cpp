// The module resource reader: lookups by type, name or ID, and language, over the entries that
// module_resources_elf.cpp or module_resources_windows.cpp read from the module file.
#include "host/resources/module_resources.h"

#include <algorithm>

namespace host {
namespace {

char AsciiUpper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// Whether text is "#" and decimal digits naming id.
bool NamesId(std::string_view text, uint32_t id) {
    if (text.size() < 2 || text[0] != '#') return false;
    uint64_t value = 0;
    for (char c : text.substr(1)) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<uint64_t>(c - '0');
        if (value > UINT32_MAX) return false;
    }
    return value == id;
}

bool Matches(std::string_view text, const std::string& name, uint32_t id) {
    return name.empty() ? NamesId(text, id) : SameResourceName(text, name);
}

}  // namespace

bool SameResourceName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t index = 0; index < a.size(); ++index) {
        if (AsciiUpper(a[index]) != AsciiUpper(b[index])) return false;
    }
    return true;
}

namespace {
// "#" and the number: how a numbered type or name is written. (Built by appending: GCC 12 warns
// wrongly about a literal prefixed to a temporary string at -O3.)
std::string Numbered(uint32_t number) {
    std::string text(1, '#');
    text += std::to_string(number);
    return text;
}
}  // namespace

std::string ResourceEntry::TypeText() const { return type.empty() ? Numbered(typeId) : type; }
std::string ResourceEntry::NameText() const { return name.empty() ? Numbered(id) : name; }

bool ModuleResources::Fail(const std::string& why) {
    error_ = label_ + ": " + why;
    entries_.clear();
    image_.clear();
    return false;
}

const ResourceEntry* ModuleResources::Find(std::string_view type, std::string_view name, uint32_t language) const {
    for (const ResourceEntry& entry : entries_) {
        if (Matches(type, entry.type, entry.typeId) && Matches(name, entry.name, entry.id) &&
            (language == kAnyLanguage || language == entry.language)) {
            return &entry;
        }
    }
    return nullptr;
}

const ResourceEntry* ModuleResources::Find(std::string_view type, uint32_t id, uint32_t language) const {
    return Find(type, Numbered(id), language);
}

std::vector<uint8_t> ModuleResources::Bytes(const ResourceEntry& entry) const {
    const uint8_t* start = image_.data() + blockOffset_ + entry.offset;
    return std::vector<uint8_t>(start, start + entry.size);
}

bool ModuleResources::Load(std::string_view type, std::string_view name, uint32_t language,
                           std::vector<uint8_t>* out) const {
    const ResourceEntry* entry = Find(type, name, language);
    if (entry == nullptr) return false;
    const std::vector<uint8_t> bytes = Bytes(*entry);
    out->insert(out->end(), bytes.begin(), bytes.end());
    return true;
}

}  // namespace host
