// The host's side of a write: options record, frame description, file, and the selector loop.
#include "host/write_session.h"

#include <cerrno>
#include <cstring>

namespace host {
namespace {

constexpr int32_t kOptionsRecordBytes = 28;

void PutBigEndian16(char* at, int16_t value) {
    at[0] = static_cast<char>(static_cast<uint16_t>(value) >> 8);
    at[1] = static_cast<char>(value & 0xFF);
}

// Whether the record asks for rows of the frame it describes: all of one row, planes 0 to 2
// interleaved.
bool RowsOfTheFrame(const HostFormatRecord* record) {
    const int16_t columns = record->columns;
    return record->area[areaTop] == 0 && record->area[areaLeft] == 0 && record->area[areaBottom] == 1 &&
           record->area[areaRight] == columns && record->firstPlane == 0 && record->lastPlane == 2 &&
           record->columnStep == 3 && record->planeStep == 1 && record->rowStep == int32_t{columns} * 3;
}

}  // namespace

int16_t StoredScans(int16_t scans) { return static_cast<int16_t>(scans - 2); }

bool StoreOptionsRecord(HostEnvironment& environment, int16_t quality, int16_t format, int16_t storedScans) {
    HostFormatRecord* record = environment.Record();
    if (record->persistentData == nullptr || environment.HandleSize(record->persistentData) < kOptionsRecordBytes) {
        environment.DisposeHandle(record->persistentData);
        record->persistentData = environment.NewHandle(kOptionsRecordBytes);
        if (record->persistentData == nullptr) return false;
    }
    char* bytes = *record->persistentData;
    std::memset(bytes, 0, kOptionsRecordBytes);
    std::memcpy(bytes, "JP64", 4);
    PutBigEndian16(bytes + 22, quality);
    PutBigEndian16(bytes + 24, format);
    PutBigEndian16(bytes + 26, storedScans);
    return true;
}

bool StoreWriteOptions(HostEnvironment& environment, const JpegWriteOptions& options) {
    const bool progressive = options.format == JpegFormat::progressive;
    return StoreOptionsRecord(environment, options.quality, static_cast<int16_t>(options.format),
                              progressive ? StoredScans(options.scans) : int16_t{1});
}

const char* WriteReport::FailedStep() const {
    if (hostFailure != nullptr) return hostFailure;
    if (prepare != 0) return "write prepare";
    if (start != 0) return "write start";
    if (failure != 0) return "write continue";
    if (finish != 0) return "write finish";
    return "";
}

int16_t WriteReport::FailedAnswer() const {
    if (hostFailure != nullptr) return 0;
    for (const int16_t answer : {prepare, start, failure, finish}) {
        if (answer != 0) return answer;
    }
    return 0;
}

WriteReport RunWriteSelectors(PluginModule& module, const WriteHandlers& handlers) {
    HostFormatRecord* record = HostEnvironment::Instance().Record();
    const int32_t height = record->rows;
    WriteReport report;
    report.prepare = module.Call(selectorWritePrepare);
    if (report.prepare != resultOk) return report;
    report.start = module.Call(selectorWriteStart);
    if (report.start != resultOk) return report;
    if (!RowsOfTheFrame(record)) report.problem = "the module asked for rows of an unexpected layout";
    for (int32_t row = 0; report.problem.empty(); ++row) {
        // Copies: the record is packed, so no reference may bind to its fields.
        void* const rowData = record->rowData;
        const int16_t area[4] = {record->area[0], record->area[1], record->area[2], record->area[3]};
        if (rowData == nullptr) {
            if (row != height) {
                report.problem = "the module ended after " + std::to_string(row) + " of " +
                                 std::to_string(height) + " rows";
            } else if (area[areaTop] != 0 || area[areaLeft] != 0 || area[areaBottom] != 0 || area[areaRight] != 0) {
                report.problem = "the module left the area set after the last row";
            }
            report.ended = report.problem.empty();
            break;
        }
        if (row >= height) {
            report.problem = "the module asked for more rows than the frame has";
        } else if (area[areaTop] != row || area[areaBottom] != row + 1 || area[areaLeft] != 0 ||
                   area[areaRight] != record->columns) {
            report.problem = "the module asked for the rows out of order";
        }
        if (!report.problem.empty()) break;
        const std::span<uint8_t> rgb(static_cast<uint8_t*>(rowData), static_cast<std::size_t>(record->rowStep));
        if (!handlers.fill(row, rgb)) {
            report.hostFailure = "row";
            report.failedRow = row;
            break;
        }
        const int16_t answer = module.Call(selectorWriteContinue);
        if (answer != resultOk) {
            report.failure = answer;
            report.failedRow = row;
            break;
        }
        ++report.rows;
        if (handlers.taken) handlers.taken(row);
    }
    report.finish = module.Call(selectorWriteFinish);
    report.finished = true;
    return report;
}

WriteReport WriteThroughModule(PluginModule& module, const WriteJob& job) {
    HostEnvironment& environment = HostEnvironment::Instance();
    environment.ResetRecord();
    environment.ResetScripts();
    HostFormatRecord* record = environment.Record();
    WriteReport report;
    if (!job.storedOptions && !StoreWriteOptions(environment, job.options)) {
        report.hostFailure = "options";
        return report;
    }
    record->columns = static_cast<int16_t>(job.width);
    record->rows = static_cast<int16_t>(job.height);
    record->planes = 3;
    record->imageMode = 3;
    record->horizontalResolution = job.resolution;
    record->verticalResolution = job.resolution;
    record->profilesEnabled = 1;
    if (job.profile != nullptr && !job.profile->empty()) {
        const auto size = static_cast<int32_t>(job.profile->size());
        record->profileData = environment.NewHandle(size);
        if (record->profileData == nullptr) {
            report.hostFailure = "options";
            return report;
        }
        std::memcpy(*record->profileData, job.profile->data(), job.profile->size());
        record->profileSize = size;
    }
    if (!environment.OpenForWriting(job.outputPath)) {
        report.hostFailure = "open";
        report.problem = std::string("cannot create: ") + std::strerror(errno);
        environment.ReleaseHostHandles();
        return report;
    }
    environment.OnProgress(job.progress);
    environment.OnCancelCheck(job.wantsToStop);
    report = RunWriteSelectors(module, {job.fill, nullptr});
    environment.OnProgress(nullptr);
    environment.OnCancelCheck(nullptr);
    environment.CloseFile();
    environment.DisposeHandle(record->profileData);
    record->profileData = nullptr;
    record->profileSize = 0;
    return report;
}

}  // namespace host
