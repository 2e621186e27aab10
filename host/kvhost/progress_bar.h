// The progress bar kvhost draws on standard error while rows move between it and the module: fed by
// the module's progress reports, drawn only on a terminal, and only when the shown percentage
// changes.
#pragma once

#include <cstdint>
#include <cstdio>

#include "host/platform.h"

namespace kvhost {

class ProgressBar {
public:
    ProgressBar() : enabled_(host::platform::StandardErrorIsTerminal()) {}
    ~ProgressBar() { Clear(); }
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;

    void Show(int32_t done, int32_t total) {
        if (!enabled_ || total <= 0) return;
        const int percent = static_cast<int>(int64_t{done} * 100 / total);
        if (percent == shown_) return;
        shown_ = percent;
        constexpr int kWidth = 40;
        char bar[kWidth + 1];
        const int filled = percent * kWidth / 100;
        for (int i = 0; i < kWidth; ++i) bar[i] = i < filled ? '#' : '.';
        bar[kWidth] = '\0';
        std::fprintf(stderr, "\r[%s] %3d%%", bar, percent);
        std::fflush(stderr);
    }

    // Leaves the bar where it stopped, marked "cancelled", on a line of its own.
    void Cancelled() {
        if (!enabled_) return;
        if (shown_ < 0) Show(0, 1);
        std::fprintf(stderr, " cancelled\n");
        std::fflush(stderr);
        shown_ = -1;
    }

    void Clear() {
        if (!enabled_ || shown_ < 0) return;
        std::fprintf(stderr, "\r%*s\r", 48, "");
        std::fflush(stderr);
        shown_ = -1;
    }

private:
    bool enabled_;
    int shown_ = -1;
};

}  // namespace kvhost
