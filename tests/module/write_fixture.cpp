// The host's write loop with its protocol checks, and the test pictures.
#include "tests/module/write_fixture.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <span>

#include "host/write_session.h"
#include "tests/module/peer_jpeg.h"

namespace module_testing {

Picture SamplePicture() { return PpmPicture("sample", KV_SAMPLE_PPM); }

Picture PpmPicture(const std::string& name, const std::string& path) {
    Picture picture;
    picture.name = name;
    const std::vector<uint8_t> bytes = FileBytes(path);
    // "P6\n<width> <height>\n255\n" and the samples, as make-sample.py and the test images have it.
    int width = 0, height = 0, maxValue = 0, header = 0;
    const std::string text(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(bytes.size(), 32)));
    if (std::sscanf(text.c_str(), "P6 %d %d %d%n", &width, &height, &maxValue, &header) != 3 || maxValue != 255) {
        ADD_FAILURE() << path << " is not an 8-bit binary PPM";
        return picture;
    }
    const std::size_t start = static_cast<std::size_t>(header) + 1;
    const std::size_t size = static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3;
    if (bytes.size() != start + size) {
        ADD_FAILURE() << path << " holds " << bytes.size() << " bytes, not " << start + size;
        return picture;
    }
    picture.width = width;
    picture.height = height;
    picture.rgb.assign(bytes.begin() + static_cast<std::ptrdiff_t>(start), bytes.end());
    return picture;
}

Picture SyntheticPicture(int32_t width, int32_t height) {
    Picture picture;
    picture.name = std::to_string(width) + "x" + std::to_string(height);
    picture.width = width;
    picture.height = height;
    picture.rgb.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3);
    const peer::SyntheticPhoto photo(width, height, 3);
    for (int32_t y = 0; y < height; ++y) photo.Row(y, picture.rgb.data() + static_cast<std::size_t>(y) * width * 3);
    return picture;
}

void WriteTest::PresetOptionsRecord(const WriteOptions& options) {
    Host().DisposeHandle(Record()->persistentData);
    Record()->persistentData = nullptr;
    ASSERT_TRUE(host::StoreOptionsRecord(Host(), options.quality, static_cast<int16_t>(options.format), options.scans));
}

WriteOutcome WriteTest::WriteJpeg(const Picture& picture, const std::string& path, const WriteOptions& options) {
    WriteOutcome outcome;
    Host().ReleaseHostHandles();
    Host().ResetRecord(true);
    Host().ResetScripts();
    HostFormatRecord* record = Record();
    if (!options.rawRecord.empty()) {
        Handle kept = Host().NewHandle(static_cast<int32_t>(options.rawRecord.size()));
        std::memcpy(*kept, options.rawRecord.data(), options.rawRecord.size());
        record->persistentData = kept;
    } else if (options.presetRecord) {
        PresetOptionsRecord(options);
    }
    const int16_t rows = options.rows.value_or(static_cast<int16_t>(picture.height));
    record->columns = options.columns.value_or(static_cast<int16_t>(picture.width));
    record->rows = rows;
    record->planes = 3;
    record->imageMode = 3;
    record->horizontalResolution = options.horizontalResolution;
    record->verticalResolution = options.verticalResolution;
    record->profilesEnabled = options.profilesEnabled;
    if (!options.profile.empty()) {
        record->profileData = Host().NewHandle(static_cast<int32_t>(options.profile.size()));
        std::memcpy(*record->profileData, options.profile.data(), options.profile.size());
        record->profileSize = static_cast<int32_t>(options.profile.size());
    }
    EXPECT_TRUE(Host().OpenForWriting(path)) << "cannot open " << path;
    ArmFaults(options);

    host::WriteHandlers handlers;
    const std::size_t rowBytes = static_cast<std::size_t>(picture.width) * 3;
    handlers.fill = [&](int32_t row, std::span<uint8_t> rgb) {
        // A frame described larger than the picture gets rows as the host left them.
        if (row < picture.height) {
            std::memcpy(rgb.data(), picture.rgb.data() + rowBytes * static_cast<std::size_t>(row),
                        std::min(rowBytes, rgb.size()));
        }
        return true;
    };
    handlers.taken = [&](int32_t row) {
        SCOPED_TRACE(::testing::Message() << "write continue for row " << row);
        const auto& progress = Host().ProgressCalls();
        EXPECT_EQ(static_cast<int64_t>(progress.size()), row + 1);
        if (!progress.empty()) {
            EXPECT_EQ(progress.back().done, row + 1);
            EXPECT_EQ(progress.back().total, rows);
        }
        EXPECT_EQ(Host().CancelChecks(), row + 1);
    };
    const host::WriteReport report = host::RunWriteSelectors(Module(), handlers);
    EXPECT_EQ(report.problem, "");
    outcome.prepare = report.prepare;
    outcome.start = report.start;
    outcome.failure = report.failure;
    outcome.failedRow = report.failedRow;
    outcome.rowsTaken = report.rows;
    outcome.ended = report.ended;
    outcome.finish = report.finish;
    outcome.finished = report.finished;
    outcome.refusedAllocations = Host().Stats().refusedAllocations;
    outcome.peakBytes = Host().Stats().peakBytes;
    static_cast<FileCallCounts&>(outcome) = DisarmFaults(options);
    Host().CloseFile();
    struct stat info;
    if (stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode)) outcome.jpeg = FileBytes(path);

    Host().ReleaseHostHandles();
    EXPECT_EQ(Host().Stats().liveHandles, 0) << "the module left host handles alive after writing " << path;
    EXPECT_EQ(Host().Stats().liveBytes, 0);
    return outcome;
}

}  // namespace module_testing
