// The resources of the built JPEG.kvx read back from the module file through the host's reader:
// the layout script by its length and checksum, and damaged copies of the module refused with a
// message saying what is wrong. (The property list, every property decoded and every byte by its
// checksum, is checked by kvhost's info test.)
#include <elf.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "host/host_environment.h"
#include "host/resources/module_resources.h"

namespace {


// The module beside the test program (KVX_MODULE is not set under ctest).
std::string ModulePath() { return host::DefaultModulePath(); }

std::vector<uint8_t> ModuleImage() {
    std::ifstream in(ModulePath(), std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

uint32_t Get32(const std::vector<uint8_t>& bytes, std::size_t at) {
    return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | static_cast<uint32_t>(bytes[at + 3]) << 24;
}
void Put32(std::vector<uint8_t>* bytes, std::size_t at, uint32_t value) {
    for (int index = 0; index < 4; ++index) (*bytes)[at + index] = static_cast<uint8_t>(value >> (8 * index));
}

// The layout script the dialog is built from, byte for byte: its elements and texts are checked where
// the dialog is shown (tests/dialog/), the exact text (tabs, blanks, CR LF) by its length and
// checksum. A change of the script on purpose records the new checksum.
TEST(ModuleResourcesTest, LayoutScriptIsTheRecordedText) {
    host::ModuleResources resources;
    ASSERT_TRUE(resources.Open(ModulePath())) << resources.Error();
    std::vector<uint8_t> bytes = {'x'};  // Load appends
    ASSERT_TRUE(resources.Load("tamo", "JpegOptions.zopa", 1033, &bytes));
    const std::string script(bytes.begin() + 1, bytes.end());
    uint64_t checksum = 14695981039346656037u;  // FNV-1a
    for (const char byte : script) checksum = (checksum ^ static_cast<uint8_t>(byte)) * 1099511628211u;
    EXPECT_EQ(script.size(), 2287u);
    EXPECT_EQ(checksum, 0x3c4be33a2289b8b8u) << script;
    EXPECT_EQ(script.rfind("layout zeltamo_dialog\r\n{\r\n\tview dialog(", 0), 0u);
    EXPECT_EQ(script.substr(script.size() - 9), "\r\n\t}\r\n}\r\n");  // CR LF ends the last line, no NUL after
    EXPECT_EQ(script.find('\0'), std::string::npos);
    EXPECT_EQ(script.find("\n\n"), std::string::npos);       // every line feed follows a carriage return
    EXPECT_EQ(std::count(script.begin(), script.end(), '\n'), std::count(script.begin(), script.end(), '\r'));
    EXPECT_EQ(resources.Find("TAMO", "JPEGOPTIONS.ZOPA", 1033)->name, "JPEGOPTIONS.ZOPA");
    EXPECT_EQ(resources.Find("TAMO", "JpegOptions", 1033), nullptr);
}

// A damaged copy of the module in the build folder, removed with the object.
class ModuleCopy {
public:
    explicit ModuleCopy(const std::vector<uint8_t>& image)
        : path_(ModulePath() + ".damaged-" + std::to_string(getpid()) + ".kvx") {
        std::ofstream out(path_, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
        EXPECT_TRUE(out.good()) << path_;
    }
    ~ModuleCopy() { unlink(path_.c_str()); }
    ModuleCopy(const ModuleCopy&) = delete;
    ModuleCopy& operator=(const ModuleCopy&) = delete;
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

// Where the resource section's header sits in a module image, and its name in the name table.
struct SectionPlace {
    std::size_t header = 0;  // of its Elf64_Shdr
    std::size_t name = 0;    // of its name's first byte
    uint64_t offset = 0;
};
SectionPlace FindResourceSection(const std::vector<uint8_t>& image) {
    Elf64_Ehdr elf;
    std::memcpy(&elf, image.data(), sizeof elf);
    Elf64_Shdr names;
    std::memcpy(&names, image.data() + elf.e_shoff + elf.e_shstrndx * sizeof names, sizeof names);
    for (std::size_t index = 0; index < elf.e_shnum; ++index) {
        const std::size_t header = elf.e_shoff + index * sizeof(Elf64_Shdr);
        Elf64_Shdr section;
        std::memcpy(&section, image.data() + header, sizeof section);
        if (std::strcmp(reinterpret_cast<const char*>(image.data() + names.sh_offset + section.sh_name), ".kvrsrc") == 0) {
            return {header, names.sh_offset + section.sh_name, section.sh_offset};
        }
    }
    ADD_FAILURE() << "no .kvrsrc section in " << ModulePath();
    return {};
}

TEST(ModuleResourcesTest, DamagedModuleCopiesAreRefusedBeforeLoading) {
    const std::vector<uint8_t> clean = ModuleImage();
    ASSERT_GT(clean.size(), 4096u);
    const SectionPlace section = FindResourceSection(clean);
    ASSERT_NE(section.header, 0u);
    host::ModuleResources reader;
    ASSERT_TRUE(reader.OpenImage(clean, "clean"));
    const host::ResourceEntry* pipl = reader.Find("PIPL", 16000);
    ASSERT_NE(pipl, nullptr);
    const std::size_t block = section.offset;
    const std::size_t list = block + pipl->offset;
    const std::size_t piplEntry = block + 24;  // the first directory entry
    ASSERT_EQ(Get32(clean, piplEntry + 20), pipl->offset);

    struct Damage {
        const char* what;
        void (*apply)(std::vector<uint8_t>*, std::size_t section, std::size_t name, std::size_t block,
                      std::size_t entry, std::size_t list);
        const char* message;
    };
    const Damage damages[] = {
        {"section renamed", [](auto* image, auto, auto name, auto, auto, auto) { (*image)[name + 6] = 'X'; },
         "carries no module resources (no .kvrsrc section)"},
        {"section cut inside the directory",
         [](auto* image, auto header, auto, auto, auto, auto) { Put32(image, header + offsetof(Elf64_Shdr, sh_size), 40); },
         "the resource directory is truncated (2 entries end at byte 88, the block holds 40)"},
        {"section past the end of the file",
         [](auto* image, auto header, auto, auto, auto, auto) {
             Put32(image, header + offsetof(Elf64_Shdr, sh_offset), static_cast<uint32_t>(image->size() - 8));
         },
         "the .kvrsrc section lies outside the file"},
        {"directory count one too many", [](auto* image, auto, auto, auto block, auto, auto) { (*image)[block + 8] = 3; },
         "the resource directory's count (3 entries, ending at byte 120) disagrees with its end at byte 88"},
        {"entry past the block",
         [](auto* image, auto, auto, auto, auto entry, auto) { Put32(image, entry + 24, 0x7FFFFFFF); },
         "resource 1 of 2 (PIPL #16000) claims bytes"},
        {"property list cut short in the directory",
         [](auto* image, auto, auto, auto, auto entry, auto) { Put32(image, entry + 24, 450); },
         "the property list is cut short: property 18 of 18 would begin at byte 442 of 450"},
        {"property count 19", [](auto* image, auto, auto, auto, auto, auto list) { (*image)[list + 6] = 19; },
         "the property list is cut short: property 19 of 19 would begin at byte 462 of 462"},
        {"property count 17", [](auto* image, auto, auto, auto, auto, auto list) { (*image)[list + 6] = 17; },
         "the property list holds 462 bytes but its 17 properties end at byte 442 (a wrong count?)"},
        {"property list version 2", [](auto* image, auto, auto, auto, auto, auto list) { (*image)[list] = 2; },
         "the property list has version 2, this host reads version 1"},
        {"another kind of plug-in", [](auto* image, auto, auto, auto, auto, auto list) { (*image)[list + 26] = 'G'; },
         "is not a file-format plug-in (its \"kind\" is \"K7QG\", not \"K7QF\")"},
        {"interface 2.0", [](auto* image, auto, auto, auto, auto, auto list) { (*image)[list + 48] = 2; },
         "speaks an interface this host does not know (version 2.0; this host speaks 1.x)"},
        {"no entry point", [](auto* image, auto, auto, auto, auto, auto list) { (*image)[list + 210] = 'X'; },
         "its property list names no x86-64 entry point (\"8664\")"},
        {"entry point not exported", [](auto* image, auto, auto, auto, auto, auto list) { (*image)[list + 229] = 'X'; },
         "the entry point FilterMXin named by its property list is not exported"},
    };
    for (const Damage& damage : damages) {
        SCOPED_TRACE(damage.what);
        std::vector<uint8_t> image = clean;
        damage.apply(&image, section.header, section.name, block, piplEntry, list);
        ASSERT_NE(image, clean);
        // Beside the module, where the loader finds library Q for a copy that gets as far as loading.
        const ModuleCopy copy(image);
        host::PluginModule module;
        EXPECT_FALSE(module.Load(copy.Path()));
        EXPECT_EQ(module.Error().rfind(copy.Path() + ": ", 0), 0u) << module.Error();
        EXPECT_NE(module.Error().find(damage.message), std::string::npos) << module.Error();
    }
}

}  // namespace
