// The plug-in property list ("PIPL" resource) as the host reads it: a header (version, a zero
// word, the property count) and properties back to back, each a vendor code, a key, an ID, a
// length and its data padded to a multiple of 4. Four-character codes are stored as little-endian
// numbers whose value is the characters read as a big-endian number, so their bytes appear
// reversed in the file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace host {

// Where the host looks for the list, and what it understands.
inline constexpr char kPropertyListType[] = "PIPL";
inline constexpr uint32_t kPropertyListId = 16000;
inline constexpr uint32_t kPropertyListLanguage = 1033;
inline constexpr uint16_t kPropertyListVersion = 1;

// The four characters of a code as one number, "kind" -> 0x6B696E64.
constexpr uint32_t FourCharCode(const char (&text)[5]) {
    return uint32_t{static_cast<uint8_t>(text[0])} << 24 | uint32_t{static_cast<uint8_t>(text[1])} << 16 |
           uint32_t{static_cast<uint8_t>(text[2])} << 8 | uint32_t{static_cast<uint8_t>(text[3])};
}
// "kind" for 0x6B696E64; bytes outside printable ASCII as \xNN.
std::string FourCharText(uint32_t code);

struct Property {
    uint32_t vendor = 0;
    uint32_t key = 0;
    uint32_t id = 0;
    std::vector<uint8_t> data;  // the unpadded length's bytes
    uint32_t offset = 0;        // of the property's first byte in the list

    // The data's 32-bit little-endian word at byte at (0 when the data is shorter).
    uint32_t Word(std::size_t at) const;
    uint16_t Half(std::size_t at) const;
};

struct PropertyList {
    uint16_t version = 0;
    uint32_t reserved = 0;
    std::vector<Property> properties;

    // The first property of this key, or null.
    const Property* Find(uint32_t key) const;
};

// Parses a property list; false with *error saying what is wrong (a header cut short, an
// unknown version, a property running past the end, bytes left after the last property).
bool ParsePropertyList(const std::vector<uint8_t>& bytes, PropertyList* list, std::string* error);

}  // namespace host
