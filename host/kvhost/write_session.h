// Writing a frame through the module as the host does when the user saves an image as JPEG: the
// options stored in the record the host keeps for the plug-in, the frame described in the format
// record, the file opened by the host, then write prepare, write start, one write continue per row
// with the row the module named in area, and write finish. Used by kvhost write and the encode
// benchmark.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "host/host_environment.h"

namespace kvhost {

// The user's write options as the options dialog sets them.
enum class JpegFormat : int16_t { baseline = 0, optimised = 1, progressive = 2 };

struct JpegWriteOptions {
    int16_t quality = 5;   // 0 to 10
    JpegFormat format = JpegFormat::baseline;
    int16_t scans = 3;     // 3, 4 or 5 progressive scans (stored as 1, 2 or 3)
};

// The record's value for a number of scans, and back.
int16_t StoredScans(int16_t scans);

// Puts the options into the 28-byte options record behind persistentData, making the record when
// the host has none: signature J P 6 4, cleared run state, and quality, format and scans as
// big-endian 16-bit words at bytes 22, 24 and 26. False when the host has no memory for it.
bool StoreWriteOptions(host::HostEnvironment& environment, const JpegWriteOptions& options);

// Fills one row of width x 3 RGB bytes; false when the source fails (the write then stops).
using RowFiller = std::function<bool(int32_t row, uint8_t* rgb)>;

struct WriteJob {
    std::string outputPath;
    int32_t width = 0;
    int32_t height = 0;
    int32_t resolution = 72 << 16;   // pixels per inch, 16.16, both directions
    const std::vector<uint8_t>* profile = nullptr;  // handed over with profilesEnabled 1; null for none
    JpegWriteOptions options;
    // The record already behind persistentData (the host's stored one) is used as it stands
    // instead of a record made from options.
    bool storedOptions = false;
    RowFiller fill;
    std::function<void(int32_t done, int32_t total)> progress;  // the module's reports; may be empty
    std::function<bool()> wantsToStop;  // asked at the module's cancel checks; may be empty
};

// How a write went. On success step is null and every row was taken.
struct WriteReport {
    const char* step = nullptr;  // "write prepare", "write start", "write continue", "write finish",
                                 // or the host's own step that failed ("open", "options", "row")
    int16_t result = 0;          // the module's answer at that step
    int32_t row = -1;            // for write continue and row: the row (0-based) being handed over
    std::string problem;         // what went wrong in words, for failures that are no module answer
    bool ok() const { return step == nullptr; }
};

// Writes the frame. The file is opened before write prepare and closed after write finish, which
// follows every successful write start; the profile handle is the host's and is disposed before
// this returns. The module's handling of the protocol is checked on the way (area, rowData, the
// number of rows it takes).
WriteReport WriteThroughModule(host::PluginModule& module, const WriteJob& job);

}  // namespace kvhost
