// Reading JPEG files through the dlopen'd module exactly as the host does (prepare, start, continue
// until rowData is null, finish), with the protocol checked on every call: the fixture for the
// end-to-end read tests.
#pragma once

#include <cstdint>
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

}  // namespace module_testing
