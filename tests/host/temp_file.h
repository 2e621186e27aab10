// A scratch file made with mkstemp for one test and removed with the object.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace host_testing {

class TempFile {
public:
    explicit TempFile(const std::string& contents = "") {
        const char* folder = std::getenv("TMPDIR");
        std::string pattern = std::string(folder != nullptr && *folder != '\0' ? folder : "/tmp") + "/kvhost-XXXXXX";
        const int fd = mkstemp(pattern.data());
        if (fd < 0) {
            ADD_FAILURE() << "mkstemp failed for " << pattern;
            return;
        }
        path_ = pattern;
        const bool written = write(fd, contents.data(), contents.size()) == static_cast<ssize_t>(contents.size());
        close(fd);
        EXPECT_TRUE(written) << "could not fill " << path_;
    }
    ~TempFile() {
        if (!path_.empty()) unlink(path_.c_str());
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

}  // namespace host_testing
