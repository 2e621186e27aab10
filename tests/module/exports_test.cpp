// What the module shows the host: FilterMain, the RQSession class and nothing of its insides. Also the loader's own
// behaviour on files that are not modules, and where it looks for JPEG.kvx.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/support/test_support.h"
#include "tests/module/module_test.h"

namespace {

using module_testing::ModuleTest;

// The folder the build put the test program, the module and library Q in.
std::string BuildFolder() {
    char self[4096];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) return ".";
    const std::string path(self, static_cast<std::size_t>(length));
    return path.substr(0, path.rfind('/'));
}

TEST_F(ModuleTest, ExportsTheEntryPointAndTheSessionClassAndNothingElse) {
    EXPECT_TRUE(Module().Exports("FilterMain"));
    // What nm -D --defined-only shows: FilterMain and RQSession's constructors (default and copy;
    // the base-object forms that derived classes call, and with GCC also the complete-object
    // aliases, which nothing can call on an abstract class), destructors (deleting, complete,
    // base), copy assignment, virtual table and type information.
    std::vector<std::string> exported = host::LibraryExportedSymbols(BuildFolder() + "/JPEG.kvx");
    std::sort(exported.begin(), exported.end());
    std::vector<std::string> expected = {
        "FilterMain",        "_ZN9RQSessionC2ERKS_", "_ZN9RQSessionC2Ev", "_ZN9RQSessionD0Ev",
        "_ZN9RQSessionD1Ev", "_ZN9RQSessionD2Ev",    "_ZN9RQSessionaSERKS_", "_ZTI9RQSession",
        "_ZTS9RQSession",    "_ZTV9RQSession",
    };
    for (const char* alias : {"_ZN9RQSessionC1ERKS_", "_ZN9RQSessionC1Ev"}) {
        if (std::find(exported.begin(), exported.end(), alias) != exported.end()) expected.push_back(alias);
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(exported, expected);
    // The host library's calls are imported, not provided.
    EXPECT_FALSE(Module().Exports("Q_LongSwap"));
}

TEST(LibraryExportsTest, FindsPlainAndCxxNamesThatTheLibraryDefines) {
    const std::string libraryQ = BuildFolder() + "/libQ.so";
    // Library Q's calls have C++ linkage: they are found by their demangled names.
    EXPECT_TRUE(host::LibraryExports(libraryQ, "Q_LongSwap"));
    EXPECT_TRUE(host::LibraryExports(libraryQ, "Q_ReportedExceptionCount"));
    EXPECT_FALSE(host::LibraryExports(libraryQ, "Q_Long"));
    EXPECT_FALSE(host::LibraryExports(libraryQ, "FilterMain"));
    EXPECT_TRUE(host::LibraryExports(BuildFolder() + "/JPEG.kvx", "FilterMain"));
}

TEST(LibraryExportsTest, FilesThatAreNoSharedObjectExportNothing) {
    EXPECT_FALSE(host::LibraryExports("/nonexistent/JPEG.kvx", "FilterMain"));
    testing_support::ScratchFile text("FilterMain\n");
    EXPECT_FALSE(host::LibraryExports(text.Path(), "FilterMain"));

    // Cut short after the section headers' offsets are read, and with every byte past the ELF
    // header turned to 0xFF: both must be refused without reading outside the file.
    std::ifstream in(BuildFolder() + "/JPEG.kvx", std::ios::binary);
    const std::string image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_GT(image.size(), 4096u);
    testing_support::ScratchFile cut(image.substr(0, 200));
    EXPECT_FALSE(host::LibraryExports(cut.Path(), "FilterMain"));
    testing_support::ScratchFile smeared(image.substr(0, 64) + std::string(image.size() - 64, '\xFF'));
    EXPECT_FALSE(host::LibraryExports(smeared.Path(), "FilterMain"));
}

TEST(PluginModuleTest, RefusesFilesThatAreNoModule) {
    host::PluginModule missing;
    EXPECT_FALSE(missing.Load("/nonexistent/JPEG.kvx"));
    EXPECT_NE(missing.Error().find("/nonexistent/JPEG.kvx"), std::string::npos) << missing.Error();
    EXPECT_FALSE(missing.Exports("FilterMain"));

    // A shared object without resources has no property list to name an entry point.
    host::PluginModule withoutResources;
    EXPECT_FALSE(withoutResources.Load(BuildFolder() + "/libQ.so"));
    EXPECT_NE(withoutResources.Error().find("no .kvrsrc section"), std::string::npos) << withoutResources.Error();
}

TEST(PluginModuleTest, DefaultPathIsTheEnvironmentVariableOrBesideTheProgram) {
    const char* before = std::getenv("KVX_MODULE");
    const std::string saved = before != nullptr ? before : "";

    ASSERT_EQ(setenv("KVX_MODULE", "/opt/elsewhere/Other.kvx", 1), 0);
    EXPECT_EQ(host::DefaultModulePath(), "/opt/elsewhere/Other.kvx");
    ASSERT_EQ(setenv("KVX_MODULE", "", 1), 0);
    EXPECT_EQ(host::DefaultModulePath(), BuildFolder() + "/JPEG.kvx");
    ASSERT_EQ(unsetenv("KVX_MODULE"), 0);
    EXPECT_EQ(host::DefaultModulePath(), BuildFolder() + "/JPEG.kvx");

    if (before != nullptr) setenv("KVX_MODULE", saved.c_str(), 1);
}

}  // namespace
