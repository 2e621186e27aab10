// The host's read and write loops with their protocol checks, the test pictures, sample comparison
// and the header walk.
#include "tests/module/module_fixture.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <span>

#include "host/read_session.h"
#include "host/write_session.h"
#include "tests/module/peer_jpeg.h"
#include "tests/support/jpeg_builder.h"

namespace module_testing {

void ArmFaults(const HostFaults& faults) {
    host::HostEnvironment& host = host::HostEnvironment::Instance();
    host.ResetStats();
    host.CancelAtCheck(faults.cancelAtCheck);
    host.FailAllocation(faults.failAllocation);
    host.FailFileCall(faults.failCall, faults.failCallAt, faults.failCallFromThenOn);
}

FileCallCounts DisarmFaults(const HostFaults& faults) {
    host::HostEnvironment& host = host::HostEnvironment::Instance();
    host.FailAllocation(0);
    host.CancelAtCheck(0);
    FileCallCounts counts;
    for (int kind = 0; kind < host::kFileCallKinds; ++kind) {
        counts.fileCalls[kind] = host.FileCalls(static_cast<host::FileCall>(kind));
    }
    counts.failedFileCalls = host.FailedFileCalls();
    host.FailFileCall(faults.failCall, 0);
    return counts;
}

ReadOutcome ReadTest::ReadJpeg(const std::string& path, const ReadOptions& options) {
    ReadOutcome outcome;
    Host().ReleaseHostHandles();
    Host().ResetRecord(true);
    Host().ResetScripts();
    HostFormatRecord* record = Record();
    EXPECT_TRUE(Host().OpenForReading(path)) << "cannot open " << path;
    record->profilesEnabled = options.profilesEnabled;
    record->horizontalResolution = options.presetResolution;
    record->verticalResolution = options.presetResolution;
    Handle preset = nullptr;
    if (!options.presetProfile.empty()) {
        preset = Host().NewHandle(static_cast<int32_t>(options.presetProfile.size()));
        std::memcpy(*preset, options.presetProfile.data(), options.presetProfile.size());
        record->profileData = preset;
        record->profileSize = static_cast<int32_t>(options.presetProfile.size());
    }
    ArmFaults(options);

    host::ReadHandlers handlers;
    handlers.checkFirst = options.checkFirst;
    // Read start may ask the cancel check while it works; every row asks it once more.
    int64_t startChecks = 0;
    handlers.started = [&](HostFormatRecord* described) {
        startChecks = Host().CancelChecks();
        outcome.mode = described->imageMode;
        outcome.rows = described->rows;
        outcome.columns = described->columns;
        outcome.planes = described->planes;
        outcome.firstPlane = described->firstPlane;
        outcome.lastPlane = described->lastPlane;
        outcome.columnStep = described->columnStep;
        outcome.rowStep = described->rowStep;
        outcome.planeStep = described->planeStep;
        outcome.horizontalResolution = described->horizontalResolution;
        outcome.verticalResolution = described->verticalResolution;
        EXPECT_EQ(described->area[areaLeft], 0);
        EXPECT_EQ(described->area[areaRight], described->columns);
        EXPECT_EQ(outcome.rowStep, int32_t{outcome.columns} * outcome.planes);
        outcome.rowChecksum = 14695981039346656037u;
        return true;
    };
    handlers.row = [&](int32_t row, std::span<const uint8_t> bytes) {
        SCOPED_TRACE(::testing::Message() << "read continue for row " << row);
        const auto& progress = Host().ProgressCalls();
        EXPECT_EQ(static_cast<int64_t>(progress.size()), row + 1);
        if (!progress.empty()) {
            EXPECT_EQ(progress.back().done, row + 1);
            EXPECT_EQ(progress.back().total, outcome.rows);
        }
        EXPECT_EQ(Host().CancelChecks() - startChecks, row + 1);
        for (const uint8_t byte : bytes) outcome.rowChecksum = (outcome.rowChecksum ^ byte) * 1099511628211u;
        if (options.keepPixels) outcome.pixels.insert(outcome.pixels.end(), bytes.begin(), bytes.end());
        return true;
    };
    const host::ReadReport report = host::ReadThroughModule(Module(), handlers);
    EXPECT_EQ(report.problem, "");
    // Without a successful start no row asked the cancel check: every check was read start's.
    outcome.startCancelChecks = report.start == resultOk && report.prepare == resultOk && report.check == resultOk
                                    ? startChecks
                                    : Host().CancelChecks();
    if (report.ended) {
        // The call after the last row hands over nothing and reports no progress.
        EXPECT_EQ(static_cast<int64_t>(Host().ProgressCalls().size()), report.rows);
        EXPECT_EQ(Host().CancelChecks() - startChecks, report.rows);
    }
    outcome.check = report.check;
    outcome.prepare = report.prepare;
    outcome.start = report.start;
    outcome.failure = report.failure;
    outcome.failedRow = report.failedRow;
    outcome.failureLeftRowData = report.failureLeftRowData;
    outcome.rowsDelivered = report.rows;
    outcome.finish = report.finish;
    outcome.finished = report.finished;
    static_cast<FileCallCounts&>(outcome) = DisarmFaults(options);
    Host().CloseFile();

    outcome.profileHandle = record->profileData != nullptr;
    outcome.presetHandleKept = preset != nullptr && record->profileData == preset;
    outcome.profileSize = record->profileSize;
    if (record->profileData != nullptr) {
        const int32_t size = Host().HandleSize(record->profileData);
        EXPECT_GE(size, record->profileSize) << "profileSize runs past the profile handle";
        const int32_t kept = std::min(size, std::max(record->profileSize, 0));
        outcome.profile.assign(*record->profileData, *record->profileData + kept);
    }
    outcome.peakBytes = Host().Stats().peakBytes;
    Host().ReleaseHostHandles();
    EXPECT_EQ(Host().Stats().liveHandles, 0) << "the module left host handles alive after reading " << path;
    EXPECT_EQ(Host().Stats().liveBytes, 0);
    return outcome;
}

Difference Compare(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    Difference difference;
    if (a.size() != b.size() || a.empty()) {
        ADD_FAILURE() << "comparing " << a.size() << " samples with " << b.size();
        return difference;
    }
    double squares = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const int d = std::abs(int{a[i]} - int{b[i]});
        squares += d * d;
        if (d > difference.maxDifference) difference.maxDifference = d;
    }
    const double mse = squares / static_cast<double>(a.size());
    difference.psnr = mse == 0 ? std::numeric_limits<double>::infinity() : 10 * std::log10(255.0 * 255.0 / mse);
    return difference;
}

std::string TestImage(const std::string& name) { return std::string(KV_TESTIMAGES) + "/" + name; }

std::vector<uint8_t> FileBytes(const std::string& path) {
    std::vector<uint8_t> bytes;
    EXPECT_TRUE(peer::ReadFile(path, &bytes)) << "cannot read " << path;
    return bytes;
}

std::vector<uint8_t> SegmentBytes(int code, const std::vector<uint8_t>& payload) {
    return testing_support::JpegBuilder().Segment(code, payload).Bytes();
}

std::vector<uint8_t> IccSegment(int sequence, int count, const std::vector<uint8_t>& chunk) {
    const uint8_t head[] = {'I', 'C', 'C', '_', 'P', 'R', 'O', 'F', 'I', 'L', 'E', 0,
                            static_cast<uint8_t>(sequence), static_cast<uint8_t>(count)};
    std::vector<uint8_t> payload(sizeof head + chunk.size());
    std::copy(std::begin(head), std::end(head), payload.begin());
    std::copy(chunk.begin(), chunk.end(), payload.begin() + sizeof head);
    return SegmentBytes(0xE2, payload);
}

std::vector<uint8_t> InsertAfterSoi(const std::vector<uint8_t>& jpeg, const std::vector<std::vector<uint8_t>>& segments) {
    std::vector<uint8_t> bytes(jpeg.begin(), jpeg.begin() + 2);
    for (const std::vector<uint8_t>& segment : segments) bytes.insert(bytes.end(), segment.begin(), segment.end());
    bytes.insert(bytes.end(), jpeg.begin() + 2, jpeg.end());
    return bytes;
}

std::vector<Segment> HeaderSegments(const std::vector<uint8_t>& jpeg) {
    std::vector<Segment> segments;
    if (jpeg.size() < 2 || jpeg[0] != 0xFF || jpeg[1] != 0xD8) return segments;
    std::size_t at = 2;
    while (at + 4 <= jpeg.size() && jpeg[at] == 0xFF) {
        Segment segment;
        segment.code = jpeg[at + 1];
        segment.offset = at;
        const std::size_t length = (std::size_t{jpeg[at + 2]} << 8) | jpeg[at + 3];
        if (length < 2 || at + 2 + length > jpeg.size()) break;
        segment.payload.assign(jpeg.begin() + static_cast<std::ptrdiff_t>(at + 4),
                               jpeg.begin() + static_cast<std::ptrdiff_t>(at + 2 + length));
        segments.push_back(segment);
        at += 2 + length;
        if (segment.code == 0xDA) break;
    }
    return segments;
}

std::size_t ScanDataOffset(const std::vector<uint8_t>& jpeg) {
    const std::vector<Segment> segments = HeaderSegments(jpeg);
    if (segments.empty() || segments.back().code != 0xDA) return 0;
    return segments.back().offset + 4 + segments.back().payload.size();
}

Picture SamplePicture() { return PpmPicture("sample", KV_DATA "/sample.ppm"); }

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
