// What the benchmarks share: timing a repeated operation (best of several runs), a scratch folder,
// and file sizes.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace bench {

using Clock = std::chrono::steady_clock;

struct Timing {
    bool ok = false;
    int width = 0;
    int height = 0;
    double best = 0;  // seconds for the fastest run
    int runs = 0;
};

// Repeats an operation until the time is spent (at least three runs) and keeps the fastest. The
// operation answers false on a failure (which ends the measurement with ok false) and may set the
// picture size it worked on.
template <class Operation>
Timing Measure(double seconds, Operation operation) {
    Timing timing;
    const Clock::time_point end =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    do {
        const Clock::time_point start = Clock::now();
        if (!operation(&timing.width, &timing.height)) return timing;
        const double took = std::chrono::duration<double>(Clock::now() - start).count();
        if (timing.runs == 0 || took < timing.best) timing.best = took;
        ++timing.runs;
    } while (timing.runs < 3 || Clock::now() < end);
    timing.ok = true;
    return timing;
}

// A fresh folder under /tmp, removed with the files in it (not subfolders).
class ScratchFolder {
public:
    explicit ScratchFolder(const char* prefix) {
        std::string pattern = std::string("/tmp/") + prefix + "-XXXXXX";
        if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
    }
    ~ScratchFolder() {
        if (path_.empty()) return;
        if (DIR* folder = opendir(path_.c_str())) {
            while (const dirent* entry = readdir(folder)) {
                const std::string name = entry->d_name;
                if (name != "." && name != "..") unlink((path_ + "/" + name).c_str());
            }
            closedir(folder);
        }
        rmdir(path_.c_str());
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    bool ok() const { return !path_.empty(); }
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

inline int64_t FileBytes(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return 0;
    std::fseek(file, 0, SEEK_END);
    const int64_t size = std::ftell(file);
    std::fclose(file);
    return size;
}

}  // namespace bench
