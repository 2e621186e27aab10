// make_resources: turns the module's resource list (JPEG.resources) and its sources into the
// form a build embeds. Run by the build; not part of the module.
//
//   make_resources LIST --source OUT.cpp     the resource block (include/kvx_resource_block.h) as a
//                                            C++ array placed in the module's ".kvrsrc" section
//   make_resources LIST --rc FOLDER          FOLDER/JPEG.rc and the binary files it names, for a
//                                            Windows resource compiler
//
// Property lists (files ending in ".pipl") are written as text, one property a line; the forms of
// their data are described at the top of JPEG.pipl. Any other file is carried byte for byte.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "include/kvx_resource_block.h"

namespace {

struct Resource {
    std::string type;
    std::string name;  // "" when the resource is known by its ID
    uint32_t id = 0;
    uint32_t language = 0;
    std::string file;
    std::vector<uint8_t> bytes;
};

[[noreturn]] void Die(const std::string& where, const std::string& why) {
    std::fprintf(stderr, "make_resources: %s: %s\n", where.c_str(), why.c_str());
    std::exit(1);
}

std::vector<uint8_t> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) Die(path, std::strerror(errno));
    std::ostringstream text;
    text << in.rdbuf();
    const std::string bytes = text.str();
    return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) Die(path, "cannot be written");
}

// The words of a line: blanks separate them, double quotes keep blanks inside one, "#" outside
// quotes starts a comment. A quoted word keeps its quotes, so that forms can tell them apart.
std::vector<std::string> Words(const std::string& line, const std::string& where) {
    std::vector<std::string> words;
    std::size_t at = 0;
    while (at < line.size()) {
        const char c = line[at];
        if (c == ' ' || c == '\t' || c == '\r') {
            ++at;
        } else if (c == '#') {
            break;
        } else if (c == '"') {
            const std::size_t end = line.find('"', at + 1);
            if (end == std::string::npos) Die(where, "a quote is not closed");
            words.push_back(line.substr(at, end + 1 - at));
            at = end + 1;
        } else {
            std::size_t end = at;
            while (end < line.size() && line[end] != ' ' && line[end] != '\t' && line[end] != '\r') ++end;
            words.push_back(line.substr(at, end - at));
            at = end;
        }
    }
    return words;
}

std::string Unquoted(const std::string& word) {
    return word.size() >= 2 && word.front() == '"' ? word.substr(1, word.size() - 2) : word;
}

uint64_t Number(const std::string& word, uint64_t largest, const std::string& where) {
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(word.c_str(), &end, 0);
    if (word.empty() || word[0] == '-' || *end != '\0' || errno != 0 || value > largest) {
        Die(where, "'" + word + "' is not a number from 0 to " + std::to_string(largest));
    }
    return value;
}

void Put32(std::vector<uint8_t>* out, uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) out->push_back(static_cast<uint8_t>(value >> shift));
}
void Put16(std::vector<uint8_t>* out, uint16_t value) {
    out->push_back(static_cast<uint8_t>(value));
    out->push_back(static_cast<uint8_t>(value >> 8));
}
void PadTo4(std::vector<uint8_t>* out) {
    while (out->size() % 4 != 0) out->push_back(0);
}

// A four-character code as the property list stores it: the characters read as a big-endian
// number, stored little-endian.
void PutCode(std::vector<uint8_t>* out, const std::string& word, const std::string& where) {
    const std::string code = Unquoted(word);
    if (code.size() != 4) Die(where, "'" + word + "' is not a four-character code");
    for (int index = 3; index >= 0; --index) out->push_back(static_cast<uint8_t>(code[static_cast<std::size_t>(index)]));
}

// One property's data in one of the forms described in JPEG.pipl.
std::vector<uint8_t> PropertyData(const std::string& form, const std::vector<std::string>& values,
                                  const std::string& where) {
    std::vector<uint8_t> data;
    if (values.empty()) Die(where, "a property without a value");
    for (const std::string& value : values) {
        if (form == "code") {
            PutCode(&data, value, where);
        } else if (form == "long") {
            Put32(&data, static_cast<uint32_t>(Number(value, UINT32_MAX, where)));
        } else if (form == "short") {
            Put16(&data, static_cast<uint16_t>(Number(value, UINT16_MAX, where)));
        } else if (form == "chars") {
            const std::string text = Unquoted(value);
            data.insert(data.end(), text.begin(), text.end());
        } else if (form == "pstring" || form == "cstring") {
            if (values.size() != 1) Die(where, "a " + form + " takes one string");
            const std::string text = Unquoted(value);
            if (form == "pstring") {
                if (text.size() > 255) Die(where, "a pstring holds at most 255 characters");
                data.push_back(static_cast<uint8_t>(text.size()));
            }
            data.insert(data.end(), text.begin(), text.end());
            if (form == "cstring") data.push_back(0);
            PadTo4(&data);
        } else {
            Die(where, "unknown form '" + form + "'");
        }
    }
    return data;
}

// A property list written as text (see JPEG.pipl) as the host reads it.
std::vector<uint8_t> CompilePropertyList(const std::string& path) {
    std::ifstream in(path);
    if (!in) Die(path, std::strerror(errno));
    std::vector<uint8_t> properties;
    uint32_t count = 0;
    long version = -1;
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        const std::string where = path + ":" + std::to_string(number);
        const std::vector<std::string> words = Words(line, where);
        if (words.empty()) continue;
        if (words[0] == "version") {
            if (words.size() != 2 || version >= 0) Die(where, "one 'version N' line is wanted");
            version = static_cast<long>(Number(words[1], UINT16_MAX, where));
            continue;
        }
        if (words.size() < 4) Die(where, "a property is VENDOR KEY FORM VALUE...");
        const std::vector<uint8_t> data =
            PropertyData(words[2], std::vector<std::string>(words.begin() + 3, words.end()), where);
        PutCode(&properties, words[0], where);
        PutCode(&properties, words[1], where);
        Put32(&properties, 0);
        Put32(&properties, static_cast<uint32_t>(data.size()));
        properties.insert(properties.end(), data.begin(), data.end());
        PadTo4(&properties);
        ++count;
    }
    if (version < 0) Die(path, "no 'version N' line");
    std::vector<uint8_t> list;
    Put16(&list, static_cast<uint16_t>(version));
    Put32(&list, 0);
    Put32(&list, count);
    list.insert(list.end(), properties.begin(), properties.end());
    return list;
}

// The resource list, each resource's bytes read or compiled.
std::vector<Resource> ReadList(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    std::ifstream in(path);
    if (!in) Die(path, std::strerror(errno));
    std::vector<Resource> resources;
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        const std::string where = path + ":" + std::to_string(number);
        const std::vector<std::string> words = Words(line, where);
        if (words.empty()) continue;
        if (words.size() != 4) Die(where, "a resource is TYPE NAME-OR-ID LANGUAGE FILE");
        Resource resource;
        resource.type = words[0];
        if (words[1].find_first_not_of("0123456789") == std::string::npos) {
            resource.id = static_cast<uint32_t>(Number(words[1], UINT16_MAX, where));
        } else {
            resource.name = words[1];
        }
        resource.language = static_cast<uint32_t>(Number(words[2], UINT16_MAX, where));
        resource.file = words[3];
        const std::string source = folder + resource.file;
        const bool propertyList = source.size() > 5 && source.compare(source.size() - 5, 5, ".pipl") == 0;
        resource.bytes = propertyList ? CompilePropertyList(source) : ReadFile(source);
        resources.push_back(std::move(resource));
    }
    return resources;
}

// The resource block laid out in include/kvx_resource_block.h.
std::vector<uint8_t> Block(const std::vector<Resource>& resources) {
    const auto count = static_cast<uint32_t>(resources.size());
    const uint32_t directoryEnd = kvx::kResourceHeaderSize + count * kvx::kResourceEntrySize;
    std::vector<uint8_t> tail;  // names, then data, from directoryEnd on
    auto place = [&](const void* bytes, std::size_t size, std::size_t align) {
        while (tail.size() % align != 0) tail.push_back(0);
        const auto offset = static_cast<uint32_t>(directoryEnd + tail.size());
        tail.insert(tail.end(), static_cast<const uint8_t*>(bytes), static_cast<const uint8_t*>(bytes) + size);
        return offset;
    };
    std::vector<uint8_t> directory;
    for (const Resource& resource : resources) {
        const uint32_t typeName = place(resource.type.c_str(), resource.type.size() + 1, 1);
        const uint32_t name = resource.name.empty() ? 0 : place(resource.name.c_str(), resource.name.size() + 1, 1);
        const uint32_t offset = place(resource.bytes.data(), resource.bytes.size(), 8);
        Put32(&directory, typeName);
        Put32(&directory, 0);
        Put32(&directory, name);
        Put32(&directory, resource.id);
        Put32(&directory, resource.language);
        Put32(&directory, offset);
        Put32(&directory, static_cast<uint32_t>(resource.bytes.size()));
        Put32(&directory, 0);
    }
    std::vector<uint8_t> block(kvx::kResourceSignature, kvx::kResourceSignature + sizeof kvx::kResourceSignature);
    Put16(&block, kvx::kResourceBlockLayout);
    Put16(&block, kvx::kResourceEntrySize);
    Put32(&block, count);
    Put32(&block, directoryEnd);
    Put32(&block, static_cast<uint32_t>(directoryEnd + tail.size()));
    Put32(&block, 0);
    block.insert(block.end(), directory.begin(), directory.end());
    block.insert(block.end(), tail.begin(), tail.end());
    return block;
}

std::string CxxSource(const std::vector<uint8_t>& block, const std::string& list) {
    std::string text =
        "// Generated by make_resources from " + list + "; edit that list and its sources instead.\n"
        "// The module's resources, in a section of their own that the host reads from the module file.\n"
        "namespace {\n"
        "[[gnu::used, gnu::section(\".kvrsrc\"), gnu::aligned(8)]]\n"
        "const unsigned char moduleResources[" + std::to_string(block.size()) + "] = {";
    for (std::size_t index = 0; index < block.size(); ++index) {
        text += index % 16 == 0 ? "\n    " : " ";
        char byte[8];
        std::snprintf(byte, sizeof byte, "0x%02x,", block[index]);
        text += byte;
    }
    text += "\n};\n}  // namespace\n";
    return text;
}

// A resource script for a Windows resource compiler: each resource from a binary file beside it.
void WriteResourceScript(const std::vector<Resource>& resources, const std::string& folder, const std::string& list) {
    std::string script = "// Generated by make_resources from " + list + ".\n";
    for (std::size_t index = 0; index < resources.size(); ++index) {
        const Resource& resource = resources[index];
        const std::string binary = "resource" + std::to_string(index + 1) + ".bin";
        WriteFile(folder + "/" + binary,
                  std::string(reinterpret_cast<const char*>(resource.bytes.data()), resource.bytes.size()));
        // The language as primary and sub-language: 1033 = 0x0409 is 0x09, 0x01.
        char language[32];
        std::snprintf(language, sizeof language, "0x%02x, 0x%02x", resource.language & 0x3FF, resource.language >> 10);
        script += "LANGUAGE " + std::string(language) + "\n";
        script += (resource.name.empty() ? std::to_string(resource.id) : "\"" + resource.name + "\"") + " " +
                  resource.type + " \"" + binary + "\"\n";
    }
    WriteFile(folder + "/JPEG.rc", script);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4 || (std::strcmp(argv[2], "--source") != 0 && std::strcmp(argv[2], "--rc") != 0)) {
        std::fprintf(stderr, "usage: make_resources LIST --source OUT.cpp\n"
                             "       make_resources LIST --rc FOLDER\n");
        return 2;
    }
    const std::string list = argv[1];
    const std::vector<Resource> resources = ReadList(list);
    const std::size_t slash = list.rfind('/');
    const std::string listName = slash == std::string::npos ? list : list.substr(slash + 1);
    if (std::strcmp(argv[2], "--source") == 0) {
        WriteFile(argv[3], CxxSource(Block(resources), listName));
    } else {
        WriteResourceScript(resources, argv[3], listName);
    }
    return 0;
}
