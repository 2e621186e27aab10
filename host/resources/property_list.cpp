// Parsing the plug-in property list: header, then each property checked to lie inside the list.
#include "host/resources/property_list.h"

#include <cstdio>

namespace host {
namespace {

constexpr std::size_t kHeaderSize = 10;
constexpr std::size_t kPropertyHeaderSize = 16;

uint32_t Get32(const uint8_t* bytes) {
    return uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 | uint32_t{bytes[3]} << 24;
}

}  // namespace

std::string FourCharText(uint32_t code) {
    std::string text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        const auto c = static_cast<uint8_t>(code >> shift);
        if (c >= 0x20 && c < 0x7F) {
            text += static_cast<char>(c);
        } else {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            text += escaped;
        }
    }
    return text;
}

uint32_t Property::Word(std::size_t at) const { return at + 4 <= data.size() ? Get32(data.data() + at) : 0; }
uint16_t Property::Half(std::size_t at) const {
    return at + 2 <= data.size() ? static_cast<uint16_t>(data[at] | data[at + 1] << 8) : 0;
}

const Property* PropertyList::Find(uint32_t key) const {
    for (const Property& property : properties) {
        if (property.key == key) return &property;
    }
    return nullptr;
}

bool ParsePropertyList(const std::vector<uint8_t>& bytes, PropertyList* list, std::string* error) {
    *list = PropertyList{};
    if (bytes.size() < kHeaderSize) {
        *error = "the property list is cut short: " + std::to_string(bytes.size()) + " bytes, its header alone takes " +
                 std::to_string(kHeaderSize);
        return false;
    }
    list->version = static_cast<uint16_t>(bytes[0] | bytes[1] << 8);
    list->reserved = Get32(&bytes[2]);
    const uint32_t count = Get32(&bytes[6]);
    if (list->version != kPropertyListVersion) {
        *error = "the property list has version " + std::to_string(list->version) + ", this host reads version " +
                 std::to_string(kPropertyListVersion);
        return false;
    }
    std::size_t at = kHeaderSize;
    for (uint32_t index = 0; index < count; ++index) {
        const std::string which = "property " + std::to_string(index + 1) + " of " + std::to_string(count);
        if (bytes.size() - at < kPropertyHeaderSize) {
            *error = "the property list is cut short: " + which + " would begin at byte " + std::to_string(at) +
                     " of " + std::to_string(bytes.size());
            return false;
        }
        Property property;
        property.offset = static_cast<uint32_t>(at);
        property.vendor = Get32(&bytes[at]);
        property.key = Get32(&bytes[at + 4]);
        property.id = Get32(&bytes[at + 8]);
        const uint64_t length = Get32(&bytes[at + 12]);
        const uint64_t padded = (length + 3) & ~uint64_t{3};
        at += kPropertyHeaderSize;
        if (padded > bytes.size() - at) {
            *error = "the property list is cut short: " + which + " (\"" + FourCharText(property.key) + "\") needs " +
                     std::to_string(padded) + " bytes from byte " + std::to_string(at) + ", the list has " +
                     std::to_string(bytes.size());
            return false;
        }
        property.data.assign(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                             bytes.begin() + static_cast<std::ptrdiff_t>(at + length));
        at += padded;
        list->properties.push_back(std::move(property));
    }
    if (at != bytes.size()) {
        *error = "the property list holds " + std::to_string(bytes.size()) + " bytes but its " + std::to_string(count) +
                 " properties end at byte " + std::to_string(at) + " (a wrong count?)";
        list->properties.clear();
        return false;
    }
    return true;
}

}  // namespace host
