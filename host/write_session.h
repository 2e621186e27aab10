// Writing a frame through the module as the host does when the user saves an image as JPEG: the
// options stored in the record the host keeps for the plug-in, the frame described in the format
// record, the file opened by the host, then write prepare, write start, one write continue per row
// with the row the module named in area, and write finish. The selector loop checks the module's
// handling of the row protocol on the way. Used by kvhost write, the write tests and the encode
// benchmark.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "host/host_environment.h"

namespace host {

// The user's write options as the options dialog sets them.
enum class JpegFormat : int16_t { baseline = 0, optimised = 1, progressive = 2 };

struct JpegWriteOptions {
    int16_t quality = 5;   // 0 to 10
    JpegFormat format = JpegFormat::baseline;
    int16_t scans = 3;     // 3, 4 or 5 progressive scans (stored as 1, 2 or 3)
};

// The record's value for a number of scans.
int16_t StoredScans(int16_t scans);

// Puts the three option words into the 28-byte options record behind persistentData, making the
// record when the host has none: signature J P 6 4, cleared run state, and quality, format and the
// stored scans value as big-endian 16-bit words at bytes 22, 24 and 26. False when the host has no
// memory for it.
bool StoreOptionsRecord(HostEnvironment& environment, int16_t quality, int16_t format, int16_t storedScans);
// The same for the user's options (scans stored only for progressive, else 1).
bool StoreWriteOptions(HostEnvironment& environment, const JpegWriteOptions& options);

// What the host does while the selectors run.
struct WriteHandlers {
    // Fills the row the module asks for (rowStep bytes of RGB); false when the host's source fails,
    // which stops the write.
    std::function<bool(int32_t row, std::span<uint8_t> rgb)> fill;
    // After write continue took the row; may be empty.
    std::function<void(int32_t row)> taken;
};

// How a write went.
struct WriteReport {
    int16_t prepare = 0;           // the answers of write prepare and write start
    int16_t start = 0;
    int16_t failure = 0;           // the first nonzero write continue answer
    int32_t failedRow = -1;        // the row that continue, or the host's fill, failed on
    const char* hostFailure = nullptr;  // the host's own step that failed: "options" or "open" before
                                        // the selectors, "row" when its source failed at failedRow
    int32_t rows = 0;              // rows the module took, in order
    bool ended = false;            // the module asked for no row after the last
    int16_t finish = 0;
    bool finished = false;         // write finish was called (after every successful start)
    std::string problem;           // what the module or the host's set-up did wrong, in words
    bool ok() const {
        return hostFailure == nullptr && prepare == 0 && start == 0 && failure == 0 && finish == 0 && ended &&
               problem.empty();
    }
    // The step that failed (the host's own, "write prepare", "write start", "write continue",
    // "write finish", or "" when none did) and the module's answer there (0 for the host's own).
    const char* FailedStep() const;
    int16_t FailedAnswer() const;
};

// Runs write prepare to write finish on the frame the record describes, the file open and the
// options record in place. The module's rows must have the frame's layout (rowStep columns x 3,
// planes 0 to 2) and come in order, one per write continue; after the last, rowData must be null
// and area cleared.
WriteReport RunWriteSelectors(PluginModule& module, const WriteHandlers& handlers);

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
    std::function<bool(int32_t row, std::span<uint8_t> rgb)> fill;  // as WriteHandlers::fill
    std::function<void(int32_t done, int32_t total)> progress;  // the module's reports; may be empty
    std::function<bool()> wantsToStop;  // asked at the module's cancel checks; may be empty
};

// Writes the frame: describes it in a fresh record, stores the options, opens the file, runs the
// selectors and closes the file. The profile handle is the host's and is disposed before this
// returns.
WriteReport WriteThroughModule(PluginModule& module, const WriteJob& job);

}  // namespace host
