// The fixture for tests that drive the real JPEG.kvx through dlopen: the module is loaded once per
// test program; every test starts from a fresh record and ends with no host handle alive and the
// host's bytes of the record untouched.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "host/host_environment.h"
#include "host/resources/module_resources.h"

namespace module_testing {

// The layout script the module carries, read from its file by the host's resource reader.
inline std::string ModuleScript() {
    host::ModuleResources resources;
    std::vector<uint8_t> bytes;
    if (!resources.Open(host::DefaultModulePath()) ||
        !resources.Load("TAMO", "JPEGOPTIONS.ZOPA", host::kAnyLanguage, &bytes)) {
        return std::string();
    }
    return std::string(bytes.begin(), bytes.end());
}

class ModuleTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (module_ != nullptr) return;
        module_ = new host::PluginModule;
        if (!module_->Load(host::DefaultModulePath())) loadError_ = module_->Error();
    }

    void SetUp() override {
        ASSERT_TRUE(loadError_.empty()) << "JPEG.kvx did not load: " << loadError_;
        Host().ReleaseHostHandles();
        Host().ResetRecord(true);
        Host().ResetScripts();
        Host().ResetStats();
    }

    void TearDown() override {
        Host().CloseFile();
        Host().ReleaseHostHandles();
        EXPECT_EQ(Host().Stats().liveHandles, 0) << "the module left host handles alive";
        EXPECT_TRUE(Host().HostBytesIntact()) << "the module wrote to bytes of the record it does not own";
        Host().ResetScripts();
    }

    static host::HostEnvironment& Host() { return host::HostEnvironment::Instance(); }
    static HostFormatRecord* Record() { return Host().Record(); }
    static int16_t Call(int16_t selector, intptr_t data = 0) { return module_->Call(selector, data); }
    static host::PluginModule& Module() { return *module_; }

    // The whole record block, host bytes included.
    static std::vector<uint8_t> Snapshot() {
        const auto* bytes = reinterpret_cast<const uint8_t*>(Record());
        return std::vector<uint8_t>(bytes, bytes + host::kRecordBlockSize);
    }

    // Gives the plain fields the plug-in owns distinct nonzero values, so that a handler that
    // clears one shows up as a change.
    static void FillRecordFields() {
        HostFormatRecord* record = Record();
        record->bufferMemory = 0x01020304;
        record->minEstimate = 11;
        record->maxEstimate = 22;
        record->imageMode = 3;
        record->rows = 149;
        record->columns = 227;
        record->planes = 3;
        record->horizontalResolution = 72 << 16;
        record->verticalResolution = 96 << 16;
        const int16_t area[4] = {1, 2, 3, 4};
        std::memcpy(record->area, area, sizeof area);
        record->firstPlane = 5;
        record->lastPlane = 6;
        record->columnStep = 7;
        record->rowStep = 8;
        record->planeStep = 9;
        record->profileSize = 10;
        record->profilesEnabled = 1;
    }

private:
    static inline host::PluginModule* module_ = nullptr;
    static inline std::string loadError_;
};

}  // namespace module_testing
