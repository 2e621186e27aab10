// Keeping the options record in the user's configuration folder between runs of kvhost.
#include "host/kvhost/options_store.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>

#include "host/platform.h"

namespace kvhost {
namespace {

// A record is 28 bytes; anything much larger in the file is not one of ours.
constexpr long kLargestRecord = 4096;

}  // namespace

std::string OptionsFilePath() {
    const std::string folder = host::platform::ConfigFolder();
    return folder.empty() ? folder : folder + "/kvhost/jpeg-options";
}

bool LoadStoredOptions(host::HostEnvironment& environment, std::string* problem) {
    HostFormatRecord* record = environment.Record();
    const std::string path = OptionsFilePath();
    if (path.empty()) return true;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        if (errno == ENOENT) return true;
        *problem = path + ": " + std::strerror(errno);
        return false;
    }
    std::vector<char> bytes(kLargestRecord + 1);
    const std::size_t got = std::fread(bytes.data(), 1, bytes.size(), file);
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed) {
        *problem = path + ": cannot be read";
        return false;
    }
    environment.DisposeHandle(record->persistentData);
    record->persistentData = nullptr;
    // An empty or oversized file holds no record: the module then makes one with the defaults.
    if (got == 0 || got > static_cast<std::size_t>(kLargestRecord)) return true;
    record->persistentData = environment.NewHandle(static_cast<int32_t>(got));
    if (record->persistentData == nullptr) {
        *problem = "the host has no memory for the options record";
        return false;
    }
    std::memcpy(*record->persistentData, bytes.data(), got);
    return true;
}

bool SaveStoredOptions(host::HostEnvironment& environment, std::string* problem) {
    HostFormatRecord* record = environment.Record();
    const std::string path = OptionsFilePath();
    if (record->persistentData == nullptr || path.empty()) return true;
    const std::string folder = path.substr(0, path.rfind('/'));
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (error) {
        *problem = folder + ": " + error.message();
        return false;
    }
    const std::string scratch = path + ".new";
    std::FILE* file = std::fopen(scratch.c_str(), "wb");
    if (file == nullptr) {
        *problem = scratch + ": " + std::strerror(errno);
        return false;
    }
    const auto size = static_cast<std::size_t>(environment.HandleSize(record->persistentData));
    const bool written = std::fwrite(*record->persistentData, 1, size, file) == size;
    const bool closed = std::fclose(file) == 0;
    // Replaces the record in one step (std::rename would not replace an existing file on Windows).
    if (written && closed) std::filesystem::rename(scratch, path, error);
    if (!written || !closed || error) {
        *problem = path + ": cannot be saved";
        std::remove(scratch.c_str());
        return false;
    }
    return true;
}

bool ReadRecordOptions(host::HostEnvironment& environment, StoredOptionsView* options) {
    Handle handle = environment.Record()->persistentData;
    if (handle == nullptr || environment.HandleSize(handle) < 28) return false;
    const auto* bytes = reinterpret_cast<const uint8_t*>(*handle);
    if (std::memcmp(bytes, "JP64", 4) != 0) return false;
    auto word = [bytes](int at) { return static_cast<int16_t>((bytes[at] << 8) | bytes[at + 1]); };
    options->quality = word(22);
    options->format = word(24);
    options->scans = word(26);
    return true;
}

}  // namespace kvhost
