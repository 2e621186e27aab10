// Helpers shared by the tests: scratch files and a fixture that points the module's memory service
// at the host stand-in and proves that every host handle was given back.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "host/host_environment.h"
#include "shell/shell_state.h"

namespace testing_support {

// A file in a fresh temporary folder, removed with the object.
class ScratchFile {
public:
    explicit ScratchFile(const std::vector<uint8_t>& contents = {});
    ~ScratchFile();
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;

    const std::string& Path() const { return path_; }
    std::vector<uint8_t> Contents() const;

private:
    std::string folder_;
    std::string path_;
};

// Bytes 0, 1, 2, ... wrapping at 251 (a prime, so buffer-sized runs never line up with it).
std::vector<uint8_t> PatternBytes(std::size_t count);

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
