// kvhost info: what a module file tells the host before it is loaded: its property list decoded
// for a person, and the table of the resources it carries. Reads the file only; the module is
// never loaded.
#include <cstdio>
#include <string>

#include "host/kvhost/verbs.h"
#include "host/resources/module_resources.h"
#include "host/resources/property_list.h"

namespace kvhost {
namespace {

int Problem(const std::string& message) {
    std::fprintf(stderr, "kvhost info: %s\n", message.c_str());
    return exitUsage;
}

std::string Hex32(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

// The image modes the host numbers in imageMode.
std::string ModeName(int mode) {
    switch (mode) {
        case 1: return "grey";
        case 3: return "RGB";
        case 4: return "CMYK";
        default: return "mode " + std::to_string(mode);
    }
}

// A run of four-character extensions ("jpg jpeg") as ".jpg .jpeg": blanks end an extension.
std::string Extensions(const host::Property& property) {
    std::string text;
    for (std::size_t at = 0; at + 4 <= property.data.size(); at += 4) {
        std::string extension(reinterpret_cast<const char*>(&property.data[at]), 4);
        extension.erase(extension.find_last_not_of(' ') + 1);
        text += (text.empty() ? "." : " .") + extension;
    }
    return text;
}

// Pairs of file type and creator: "JPEG (any creator)", "JPEG, creator K7QX".
std::string TypesAndCreators(const host::Property& property) {
    std::string text;
    for (std::size_t at = 0; at + 8 <= property.data.size(); at += 8) {
        const std::string creator = host::FourCharText(property.Word(at + 4));
        if (!text.empty()) text += "; ";
        text += host::FourCharText(property.Word(at)) +
                (creator == "    " ? std::string(" (any creator)") : ", creator " + creator);
    }
    return text;
}

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

// One property's value in words; the raw words for a key this host does not know.
std::string Describe(const host::Property& property) {
    const uint32_t key = property.key;
    const std::size_t length = property.data.size();
    const uint32_t word = property.Word(0);
    using host::FourCharCode;
    if (key == FourCharCode("kind") && length == 4) {
        return host::FourCharText(word) + (word == FourCharCode("K7QF") ? ", a file-format plug-in" : "");
    }
    if (key == FourCharCode("vers") && length == 4) {
        return "interface " + std::to_string(word >> 16) + "." + std::to_string(word & 0xFFFF);
    }
    if (key == FourCharCode("prty") && length == 4) return std::to_string(static_cast<int32_t>(word));
    if (key == FourCharCode("host") && length == 4) {
        const std::string host = host::FourCharText(word);
        return host == "    " ? "any host" : host;
    }
    if (key == FourCharCode("name") && length >= 1 && property.data[0] + 1u <= length) {
        const std::string name(reinterpret_cast<const char*>(&property.data[1]), property.data[0]);
        const std::size_t equals = name.find('=');
        if (equals == std::string::npos) return Quoted(name);
        return "key " + name.substr(0, equals) + ", shown as " + Quoted(name.substr(equals + 1));
    }
    if (key == FourCharCode("mode") && length == 4) {
        std::string modes;
        for (int mode = 0; mode < 8; ++mode) {
            if ((word & (0x80u >> mode)) != 0) modes += (modes.empty() ? "" : ", ") + ModeName(mode);
        }
        return (modes.empty() ? std::string("none") : modes) + " (" + Hex32(word) + ")";
    }
    if ((key == FourCharCode("RdTy") || key == FourCharCode("fmTC") || key == FourCharCode("WrTy") ||
         key == FourCharCode("fftT")) && length % 8 == 0 && length > 0) {
        const char* what = key == FourCharCode("RdTy")   ? "reads "
                           : key == FourCharCode("fftT") ? "filters for "
                           : key == FourCharCode("fmTC") ? "gives written files "
                                                         : "writes ";
        return what + TypesAndCreators(property);
    }
    if ((key == FourCharCode("RdEx") || key == FourCharCode("WrEx") || key == FourCharCode("fftE")) &&
        length % 4 == 0 && length > 0) {
        const char* what = key == FourCharCode("RdEx") ? "reads " : key == FourCharCode("WrEx") ? "writes " : "filters for ";
        return what + Extensions(property);
    }
    if (key == FourCharCode("8664")) {
        const std::string name(reinterpret_cast<const char*>(property.data.data()), length);
        return "entry point " + name.substr(0, name.find('\0'));
    }
    if ((key == FourCharCode("fmtf") || key == FourCharCode("fmip")) && length == 4) {
        return (key == FourCharCode("fmtf") ? "format flags " : "profile flags ") + Hex32(word);
    }
    if (key == FourCharCode("mxch") && length % 2 == 0) {
        std::string channels;
        for (std::size_t mode = 0; mode < length / 2; ++mode) {
            const uint16_t count = property.Half(mode * 2);
            if (count != 0) {
                channels += (channels.empty() ? "" : ", ") + ModeName(static_cast<int>(mode)) + " " + std::to_string(count);
            }
        }
        return "largest channel count: " + (channels.empty() ? std::string("none") : channels);
    }
    if (key == FourCharCode("mxsz") && length == 4) {
        return "largest image " + std::to_string(property.Half(2)) + " x " + std::to_string(property.Half(0)) +
               " pixels (columns x rows)";
    }
    std::string bytes;
    for (uint8_t byte : property.data) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%02X", byte);
        bytes += (bytes.empty() ? "" : " ") + std::string(hex);
    }
    return std::to_string(length) + " bytes: " + bytes;
}

void HexDump(const std::vector<uint8_t>& bytes) {
    for (std::size_t row = 0; row < bytes.size(); row += 16) {
        std::printf("%08zx ", row);
        std::string text;
        for (std::size_t column = 0; column < 16; ++column) {
            if (row + column < bytes.size()) {
                const uint8_t byte = bytes[row + column];
                std::printf(" %02x", byte);
                text += byte >= 0x20 && byte < 0x7F ? static_cast<char>(byte) : '.';
            } else {
                std::printf("   ");
            }
        }
        std::printf("  |%s|\n", text.c_str());
    }
}

}  // namespace

int RunInfo(const std::string& defaultModule, const std::vector<std::string>& arguments) {
    bool raw = false;
    std::string path;
    for (const std::string& argument : arguments) {
        if (argument == "--raw") {
            raw = true;
        } else if (argument.rfind("--", 0) == 0) {
            return Problem("unknown option '" + argument + "'");
        } else if (path.empty()) {
            path = argument;
        } else {
            return Problem("one MODULE at most, not '" + argument + "' as well");
        }
    }
    if (path.empty()) path = defaultModule;

    host::ModuleResources resources;
    if (!resources.Open(path)) return Problem(resources.Error());
    const host::ResourceEntry* entry =
        resources.Find(host::kPropertyListType, host::kPropertyListId, host::kPropertyListLanguage);
    if (entry == nullptr) entry = resources.Find(host::kPropertyListType, host::kPropertyListId);
    if (entry == nullptr) {
        return Problem(path + ": carries no plug-in property list (resource " + host::kPropertyListType + " " +
                       std::to_string(host::kPropertyListId) + ")");
    }
    const std::vector<uint8_t> bytes = resources.Bytes(*entry);
    if (raw) {
        HexDump(bytes);
        return exitOk;
    }
    host::PropertyList list;
    std::string error;
    if (!host::ParsePropertyList(bytes, &list, &error)) return Problem(path + ": " + error);

    std::printf("%s: plug-in property list, version %u, %zu properties, %zu bytes\n", path.c_str(), list.version,
                list.properties.size(), bytes.size());
    for (const host::Property& property : list.properties) {
        const std::string vendor = host::FourCharText(property.vendor);
        std::printf("  %s  %s%s\n", host::FourCharText(property.key).c_str(), Describe(property).c_str(),
                    vendor == "K7QX" ? "" : (" (vendor " + vendor + ")").c_str());
    }
    std::printf("\nresources:\n  %-6s %-20s %-8s %s\n", "TYPE", "NAME OR ID", "LANGUAGE", "BYTES");
    for (const host::ResourceEntry& resource : resources.Entries()) {
        const std::string name = resource.name.empty() ? std::to_string(resource.id) : resource.name;
        std::printf("  %-6s %-20s %-8u %u\n", resource.TypeText().c_str(), name.c_str(),
                    resource.language, resource.size);
    }
    return exitOk;
}

}  // namespace kvhost
