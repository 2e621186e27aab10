// Reading JPEG files through the dlopen'd module exactly as the host does (prepare, start, continue
// until rowData is null, finish), and writing frames (options record, frame description, write
// prepare, start, one continue per row, finish), with the protocol checked on every call: the
// fixture for the end-to-end tests. A write test can read its file back through the module.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tests/module/module_test.h"
#include "tests/support/test_support.h"

namespace module_testing {

using testing_support::TempFolder;

// Faults the host injects into one read or write, armed just before the first selector: its cancel
// check answering yes at the nth call, the nth allocation refused, and the failing disk (the nth
// call of a kind on the file fails, and every later one with fromThenOn). 0 never.
struct HostFaults {
    int64_t cancelAtCheck = 0;
    int64_t failAllocation = 0;
    host::FileCall failCall = host::FileCall::read;
    int64_t failCallAt = 0;
    bool failCallFromThenOn = false;
};

// The module's calls on the file during one read or write, by kind, and the ones the disk failed.
struct FileCallCounts {
    int64_t fileCalls[host::kFileCallKinds] = {};
    int64_t failedFileCalls = 0;
};

// Clears the host's counts and arms the faults; DisarmFaults ends them and gives the file calls.
void ArmFaults(const HostFaults& faults);
FileCallCounts DisarmFaults(const HostFaults& faults);

struct ReadOptions : HostFaults {
    int32_t profilesEnabled = 1;
    // A profile the host already holds in profileData before read start (none when empty).
    std::vector<uint8_t> presetProfile;
    int32_t presetResolution = 0; // both resolution fields as the host set them before read start
    bool keepPixels = true;       // false for images too large to keep
    bool checkFirst = false;      // the file check (selector 17) before read prepare, as the host does
};

// What the host saw of one read.
struct ReadOutcome : FileCallCounts {
    int16_t check = 0;            // the file check's answer when it was asked for
    int16_t prepare = 0;
    int16_t start = 0;
    int16_t failure = 0;          // the first nonzero read continue answer
    int32_t failedRow = -1;       // the row that continue was asked for
    bool failureLeftRowData = false;  // the failing continue left rowData as the host had it
    int16_t finish = 0;
    bool finished = false;        // read finish was called (only after a successful start)

    // The image description after read start.
    int16_t mode = 0;
    int16_t rows = 0;
    int16_t columns = 0;
    int16_t planes = 0;
    int16_t firstPlane = 0;
    int16_t lastPlane = 0;
    int16_t columnStep = 0;
    int32_t rowStep = 0;
    int32_t planeStep = 0;
    int32_t horizontalResolution = 0;
    int32_t verticalResolution = 0;
    bool profileHandle = false;   // profileData was set after read start
    bool presetHandleKept = false;  // profileData still the handle the host had set
    int32_t profileSize = 0;
    std::vector<uint8_t> profile;  // the profileData block, profileSize bytes

    int32_t rowsDelivered = 0;
    std::vector<uint8_t> pixels;   // every delivered row, rowStep bytes each (if kept)
    uint64_t rowChecksum = 0;      // of every delivered row, kept or not
    int64_t peakBytes = 0;         // host bytes alive at the worst moment of the read
    int64_t startCancelChecks = 0; // cancel checks the module made during read start
};

class ReadTest : public ModuleTest {
protected:
    // Reads the file as the host does. The protocol is checked as it goes (area, rowData,
    // progress and cancel calls, the extra continue after the last row), and after read finish
    // no host handle may be left once the host has given back its own.
    ReadOutcome ReadJpeg(const std::string& path, const ReadOptions& options = {});
};

// How far two sample arrays are apart.
struct Difference {
    double psnr = 0;  // infinity when equal
    int maxDifference = 0;
};
Difference Compare(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b);

// The test images folder (tests/data/images), and a file in it.
std::string TestImage(const std::string& name);
// The bytes of a file; a test failure when it cannot be read.
std::vector<uint8_t> FileBytes(const std::string& path);

// One marker segment: 0xFF, the code, the length and the payload.
std::vector<uint8_t> SegmentBytes(int code, const std::vector<uint8_t>& payload);
// An APP2 ICC profile chunk: identifier, sequence number, chunk count, then the chunk.
std::vector<uint8_t> IccSegment(int sequence, int count, const std::vector<uint8_t>& chunk);
// The JPEG with the segments put right after its SOI.
std::vector<uint8_t> InsertAfterSoi(const std::vector<uint8_t>& jpeg, const std::vector<std::vector<uint8_t>>& segments);

// The marker segments of a JPEG from SOI up to the first SOS (included): code and payload (the
// bytes after the length field).
struct Segment {
    int code = 0;
    std::size_t offset = 0;  // of its 0xFF
    std::vector<uint8_t> payload;
};
std::vector<Segment> HeaderSegments(const std::vector<uint8_t>& jpeg);
// Where the first scan's entropy-coded data begins (just past its SOS segment); 0 when the walk
// from SOI finds no SOS.
std::size_t ScanDataOffset(const std::vector<uint8_t>& jpeg);

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
