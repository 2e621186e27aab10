// Helpers shared by the tests: scratch folders and files, the options record as the host stores it,
// and a fixture that points the module's memory service at the host stand-in and proves that every
// host handle was given back.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "host/host_environment.h"
#include "shell/shell_state.h"

namespace testing_support {

// A fresh temporary folder (under TMPDIR when set), removed with everything in it.
class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    std::string PathOf(const std::string& name) const { return path_ + "/" + name; }
    // Writes the bytes to a file of that name in the folder and answers its path.
    std::string Write(const std::string& name, std::string_view bytes) const;
    std::string Write(const std::string& name, const std::vector<uint8_t>& bytes) const {
        return Write(name, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    }

private:
    std::string path_;
};

// A file in a folder of its own, removed with the object.
class ScratchFile {
public:
    explicit ScratchFile(const std::vector<uint8_t>& contents = {}) : path_(folder_.Write("file", contents)) {}
    explicit ScratchFile(std::string_view contents) : path_(folder_.Write("file", contents)) {}

    const std::string& Path() const { return path_; }
    std::vector<uint8_t> Contents() const;

private:
    TempFolder folder_;
    std::string path_;
};

// The options record as the host stores it: "JP64", the run state cleared, then quality, format
// and scans big-endian.
inline std::vector<uint8_t> OptionsRecordBytes(int16_t quality, int16_t format, int16_t scans) {
    std::vector<uint8_t> bytes(28, 0);
    std::memcpy(bytes.data(), "JP64", 4);
    const int16_t options[3] = {quality, format, scans};
    for (int i = 0; i < 3; ++i) {
        bytes[22 + 2 * i] = static_cast<uint8_t>(static_cast<uint16_t>(options[i]) >> 8);
        bytes[23 + 2 * i] = static_cast<uint8_t>(options[i] & 0xFF);
    }
    return bytes;
}

// Opens a file descriptor; the caller closes it.
int OpenDescriptor(const std::string& path, int flags);

// Installs the stand-in's record as the current record and checks on tear-down that no host handle
// made during the test is still alive.
class HostMemoryTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    host::HostEnvironment& Host() { return host::HostEnvironment::Instance(); }
    int64_t LiveHandles() { return Host().Stats().liveHandles; }

private:
    int64_t handlesAtStart_ = 0;
};

}  // namespace testing_support
