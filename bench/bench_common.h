// What the benchmarks share: timing two operations in turns on the process's CPU clock (best of
// several runs each), a scratch folder, the files of a folder, file sizes and the per-class summary.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

struct Timing {
    bool ok = false;
    int width = 0;
    int height = 0;
    double best = 0;  // seconds for the fastest run
    int runs = 0;
};

// The CPU time this process has used, in seconds (all threads; the codecs run on this one).
inline double CpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

struct PairTiming {
    Timing ours;
    Timing peer;
};

// Runs two operations in turns (ours, then the peer's, again and again) until the time is spent on
// the wall clock (at least three runs of each) and keeps each one's fastest run in CPU time, so
// that both see the same state of a busy machine. Either failing ends the measurement with its ok
// false (the peer's failure leaves ours ok).
template <class Ours, class Peer>
PairTiming MeasurePair(double seconds, Ours ours, Peer peer) {
    PairTiming timing;
    const Clock::time_point end =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(2 * seconds));
    const auto once = [](Timing* into, auto& operation) {
        const double start = CpuSeconds();
        if (!operation(&into->width, &into->height)) return false;
        const double took = CpuSeconds() - start;
        if (into->runs == 0 || took < into->best) into->best = took;
        ++into->runs;
        return true;
    };
    do {
        if (!once(&timing.ours, ours)) return timing;
        if (!once(&timing.peer, peer)) {
            timing.ours.ok = true;
            return timing;
        }
    } while (timing.ours.runs < 3 || Clock::now() < end);
    timing.ours.ok = timing.peer.ok = true;
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

// The files of a folder whose names end in suffix, sorted by name; empty when there is no folder.
inline std::vector<std::string> FilesEndingIn(const std::string& folder, const std::string& suffix) {
    std::vector<std::string> names;
    if (DIR* directory = opendir(folder.c_str())) {
        while (const dirent* entry = readdir(directory)) {
            const std::string name = entry->d_name;
            if (name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
                names.push_back(name);
            }
        }
        closedir(directory);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// One row of a class summary: the lowest and highest ratio of the class's inputs.
struct RatioRange {
    std::string label;
    double low = 0;
    double high = 0;
    int count = 0;
    void Add(double ratio) {
        low = count == 0 ? ratio : std::min(low, ratio);
        high = count == 0 ? ratio : std::max(high, ratio);
        ++count;
    }
};

inline void PrintRatioRanges(const char* title, const std::vector<RatioRange>& ranges) {
    bool any = false;
    for (const RatioRange& range : ranges) any = any || range.count > 0;
    if (!any) return;
    std::printf("\n| %s | photos | ratio (min - max) |\n|---|---|---|\n", title);
    for (const RatioRange& range : ranges) {
        if (range.count > 0) {
            std::printf("| %s | %d | %.2f - %.2f |\n", range.label.c_str(), range.count, range.low, range.high);
        }
    }
}

inline int64_t FileBytes(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return 0;
    std::fseek(file, 0, SEEK_END);
    const int64_t size = std::ftell(file);
    std::fclose(file);
    return size;
}

}  // namespace bench
