// The host's side of a write: options record, frame description, file, and the selector loop.
#include "host/kvhost/write_session.h"

#include <cerrno>
#include <cstring>

namespace kvhost {
namespace {

constexpr int32_t kOptionsRecordBytes = 28;

void PutBigEndian16(char* at, int16_t value) {
    at[0] = static_cast<char>(static_cast<uint16_t>(value) >> 8);
    at[1] = static_cast<char>(value & 0xFF);
}

WriteReport Failed(const char* step, int16_t result, int32_t row = -1, std::string problem = {}) {
    WriteReport report;
    report.step = step;
    report.result = result;
    report.row = row;
    report.problem = std::move(problem);
    return report;
}

}  // namespace

int16_t StoredScans(int16_t scans) { return static_cast<int16_t>(scans - 2); }

bool StoreWriteOptions(host::HostEnvironment& environment, const JpegWriteOptions& options) {
    HostFormatRecord* record = environment.Record();
    if (record->persistentData == nullptr || environment.HandleSize(record->persistentData) < kOptionsRecordBytes) {
        environment.DisposeHandle(record->persistentData);
        record->persistentData = environment.NewHandle(kOptionsRecordBytes);
        if (record->persistentData == nullptr) return false;
    }
    char* bytes = *record->persistentData;
    std::memset(bytes, 0, kOptionsRecordBytes);
    std::memcpy(bytes, "JP64", 4);
    PutBigEndian16(bytes + 22, options.quality);
    PutBigEndian16(bytes + 24, static_cast<int16_t>(options.format));
    PutBigEndian16(bytes + 26, options.format == JpegFormat::progressive ? StoredScans(options.scans) : int16_t{1});
    return true;
}

WriteReport WriteThroughModule(host::PluginModule& module, const WriteJob& job) {
    host::HostEnvironment& environment = host::HostEnvironment::Instance();
    environment.ResetRecord();
    environment.ResetScripts();
    HostFormatRecord* record = environment.Record();
    if (!job.storedOptions && !StoreWriteOptions(environment, job.options)) return Failed("options", resultOutOfMemory);
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
        if (record->profileData == nullptr) return Failed("options", resultOutOfMemory);
        std::memcpy(*record->profileData, job.profile->data(), job.profile->size());
        record->profileSize = size;
    }
    if (!environment.OpenForWriting(job.outputPath)) {
        const std::string why = std::strerror(errno);
        environment.ReleaseHostHandles();
        return Failed("open", 0, -1, "cannot create: " + why);
    }
    environment.OnProgress(job.progress);
    environment.OnCancelCheck(job.wantsToStop);

    WriteReport report;
    int16_t result = module.Call(selectorWritePrepare);
    if (result != resultOk) report = Failed("write prepare", result);
    if (report.ok()) {
        result = module.Call(selectorWriteStart);
        if (result != resultOk) report = Failed("write start", result);
    }
    if (report.ok()) {
        int32_t row = 0;
        if (record->rowStep != job.width * 3 || record->columnStep != 3) {
            report = Failed("write start", 0, -1, "the module asked for rows of an unexpected layout");
        }
        while (report.ok()) {
            // Copies: the record is packed, so no reference may bind to its fields.
            void* const rowData = record->rowData;
            const int16_t top = record->area[areaTop];
            const int16_t bottom = record->area[areaBottom];
            if (rowData == nullptr) {
                if (row != job.height) {
                    report = Failed("write continue", 0, row,
                                    "the module ended after " + std::to_string(row) + " of " +
                                        std::to_string(job.height) + " rows");
                }
                break;
            }
            if (row >= job.height || top != row || bottom != row + 1) {
                report = Failed("write continue", 0, row, "the module asked for the rows out of order");
                break;
            }
            if (!job.fill(row, static_cast<uint8_t*>(rowData))) {
                report = Failed("row", 0, row);
                break;
            }
            result = module.Call(selectorWriteContinue);
            if (result != resultOk) {
                report = Failed("write continue", result, row);
                break;
            }
            ++row;
        }
        result = module.Call(selectorWriteFinish);
        if (report.ok() && result != resultOk) report = Failed("write finish", result);
    }
    environment.OnProgress(nullptr);
    environment.OnCancelCheck(nullptr);
    environment.CloseFile();
    environment.DisposeHandle(record->profileData);
    record->profileData = nullptr;
    record->profileSize = 0;
    return report;
}

}  // namespace kvhost
