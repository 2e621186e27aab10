// What the module shows the host: FilterMain, the RQSession class and nothing of its insides. (How
// the loader refuses files that are no module, and where it looks for JPEG.kvx, kvhost's check and
// info tests show.)
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/module/module_test.h"

namespace {

using module_testing::ModuleTest;

TEST_F(ModuleTest, ExportsTheEntryPointAndTheSessionClassAndNothingElse) {
    EXPECT_TRUE(Module().Exports("FilterMain"));
    // What nm -D --defined-only shows: FilterMain and RQSession's constructors (default and copy;
    // the base-object forms that derived classes call, and with GCC also the complete-object
    // aliases, which nothing can call on an abstract class), destructors (deleting, complete,
    // base), copy assignment, virtual table and type information.
    std::vector<std::string> exported = host::LibraryExportedSymbols(host::DefaultModulePath());
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

}  // namespace
