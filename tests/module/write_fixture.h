// Writing frames through the dlopen'd module exactly as the host does (options record, frame
// description, write prepare, start, one continue per row, finish), with the protocol checked on
// every call: the fixture for the end-to-end write tests. It builds on the read fixture, so that a
// test can read its file back through the module.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tests/module/read_fixture.h"

namespace module_testing {

// An RGB picture as the host hands it over: rows of width x 3 bytes.
struct Picture {
    std::string name;
    int32_t width = 0;
    int32_t height = 0;
    std::vector<uint8_t> rgb;
};

// The bundled sample tests/data/sample.ppm.
Picture SamplePicture();
// An 8-bit binary PPM file with a one-blank header.
Picture PpmPicture(const std::string& name, const std::string& path);
// The peer's synthetic photo of that size.
Picture SyntheticPicture(int32_t width, int32_t height);

// The three formats of the options record, and the progressive scan counts.
enum class Format : int16_t { baseline = 0, optimised = 1, progressive = 2 };

struct WriteOptions : HostFaults {
    // The options record as the host keeps it: quality, format and scans (the stored value 1, 2 or 3
    // for three, four or five scans).
    bool presetRecord = true;   // false: the host holds none, and the module makes one (defaults)
    int16_t quality = 5;
    Format format = Format::baseline;
    int16_t scans = 1;
    // When not empty, the block the host keeps in persistentData instead of a record made from the
    // three options (a legacy or foreign record, or values out of range).
    std::vector<uint8_t> rawRecord;
    int32_t horizontalResolution = 72 << 16;
    int32_t verticalResolution = 72 << 16;
    std::vector<uint8_t> profile;  // in profileData when not empty
    int32_t profilesEnabled = 1;
    std::optional<int16_t> columns;  // the frame size the host describes; unset: the picture's
    std::optional<int16_t> rows;
};

// Every format and progressive scan script the host can ask for.
struct FormatCase {
    const char* name;
    Format format;
    int16_t scans;  // as stored: 1, 2, 3 for three, four, five scans
};
inline constexpr FormatCase kFormats[] = {
    {"baseline", Format::baseline, 1},
    {"optimised", Format::optimised, 1},
    {"progressive, 3 scans", Format::progressive, 1},
    {"progressive, 4 scans", Format::progressive, 2},
    {"progressive, 5 scans", Format::progressive, 3},
};
inline WriteOptions OptionsFor(const FormatCase& format) {
    WriteOptions options;
    options.format = format.format;
    options.scans = format.scans;
    return options;
}

// What the host saw of one write.
struct WriteOutcome : FileCallCounts {
    int16_t prepare = 0;
    int16_t start = 0;
    int16_t failure = 0;         // the first nonzero write continue answer
    int32_t failedRow = -1;      // the row that continue was handed
    int16_t finish = 0;
    bool finished = false;       // write finish was called (only after a successful start)
    int32_t rowsTaken = 0;       // continue calls answered 0
    bool ended = false;          // the module set rowData to null after the last row
    int64_t refusedAllocations = 0;  // allocations the script refused during the write
    int64_t peakBytes = 0;
    std::vector<uint8_t> jpeg;   // the file written, when it is a regular file
};

class WriteTest : public ReadTest {
protected:
    // Writes the picture to path as the host does. The protocol is checked as it goes (the
    // description after write start, area and rowData on every continue, progress and cancel
    // calls, the end after the last row), and afterwards no host handle may be left once the host
    // has given back its own.
    WriteOutcome WriteJpeg(const Picture& picture, const std::string& path, const WriteOptions& options = {});
    // Gives the host an options record holding the options' quality, format and scans.
    static void PresetOptionsRecord(const WriteOptions& options);
};

}  // namespace module_testing
