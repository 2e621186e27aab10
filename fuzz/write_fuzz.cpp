// Fuzz target for the write path: each input describes one save as a host would make it (a frame
// of 1 to 300 pixels a side or an empty one, the options record the host keeps, valid or foreign
// or absent, a resolution, an ICC profile, the pixels) and one thing going wrong (an allocation
// refused, a file call failing once or from then on, the user cancelling). The write is driven
// through FilterMain as the host drives it. Findings: a crash, a sanitizer report, a host handle
// left alive, a failure the module answered 0, or a file answered 0 that libjpeg-turbo cannot
// decode cleanly to the frame's size.
#include <sys/mman.h>
#include <unistd.h>

#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <jpeglib.h>

#include "host/host_environment.h"

extern "C" int32_t FilterMain(int16_t selector, HostFormatRecord* record, intptr_t data, int16_t* result);

namespace {

int16_t Call(int16_t selector) {
    int16_t result = 0;
    FilterMain(selector, host::HostEnvironment::Instance().Record(), 0, &result);
    return result;
}

[[noreturn]] void Finding(const char* what) {
    std::fprintf(stderr, "write_fuzz: %s\n", what);
    std::abort();
}

// Reads the input front to back; zeros once it is used up.
class InputReader {
public:
    InputReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
    uint16_t Word() { return static_cast<uint16_t>(Byte() << 8 | Byte()); }
    uint32_t Long() { return static_cast<uint32_t>(Word()) << 16 | Word(); }
    const uint8_t* Rest(size_t* size) {
        *size = size_ - at_;
        return data_ + at_;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

struct PeerError {
    jpeg_error_mgr manager;
    std::jmp_buf jump;
};

void PeerFails(j_common_ptr info) { std::longjmp(reinterpret_cast<PeerError*>(info->err)->jump, 1); }
void PeerQuiet(j_common_ptr, int) {}

// Whether libjpeg-turbo decodes the file without an error or a warning, to width x height.
bool PeerDecodesCleanly(const std::vector<uint8_t>& jpeg, int width, int height) {
    jpeg_decompress_struct info;
    PeerError error;
    info.err = jpeg_std_error(&error.manager);
    error.manager.error_exit = PeerFails;
    error.manager.emit_message = PeerQuiet;
    jpeg_create_decompress(&info);
    if (setjmp(error.jump)) {
        jpeg_destroy_decompress(&info);
        return false;
    }
    jpeg_mem_src(&info, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
    jpeg_read_header(&info, TRUE);
    jpeg_start_decompress(&info);
    std::vector<uint8_t> row(static_cast<size_t>(info.output_width) * info.output_components);
    while (info.output_scanline < info.output_height) {
        JSAMPROW rows[1] = {row.data()};
        jpeg_read_scanlines(&info, rows, 1);
    }
    jpeg_finish_decompress(&info);
    const bool clean = error.manager.num_warnings == 0 && static_cast<int>(info.output_width) == width &&
                       static_cast<int>(info.output_height) == height;
    jpeg_destroy_decompress(&info);
    return clean;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    InputReader input(data, size);
    host::HostEnvironment& host = host::HostEnvironment::Instance();
    host.ResetRecord(true);
    host.ResetScripts();
    host.ResetStats();
    HostFormatRecord* record = host.Record();

    // The frame: 1 to 300 pixels a side, small ones more often than large (so that the fuzzer runs
    // fast), now and then an empty one.
    const uint8_t shape = input.Byte();
    const int32_t across = input.Byte();
    const int32_t down = input.Byte();
    int32_t width = 1 + across * across / 217;
    int32_t height = 1 + down * down / 217;
    if (shape == 0xFF) width = 0;
    if (shape == 0xFE) height = -1;

    // The options record: the plug-in's own with any quality, format and scans, or any other block,
    // or none at all.
    const uint8_t kind = input.Byte() % 3;
    if (kind == 0) {
        record->persistentData = host.NewHandle(28);
        uint8_t bytes[28] = {'J', 'P', '6', '4'};
        for (int i = 22; i < 28; ++i) bytes[i] = input.Byte();
        // Mostly values the dialog could have stored.
        if ((bytes[22] & 0x80) == 0) {
            bytes[22] = 0;
            bytes[23] %= 11;
            bytes[24] = 0;
            bytes[25] %= 3;
            bytes[26] = 0;
            bytes[27] = static_cast<uint8_t>(1 + bytes[27] % 3);
        }
        std::memcpy(*record->persistentData, bytes, sizeof bytes);
    } else if (kind == 1) {
        const int32_t length = input.Byte() % 41;
        record->persistentData = host.NewHandle(length);
        for (int32_t i = 0; i < length; ++i) (*record->persistentData)[i] = static_cast<char>(input.Byte());
    }

    record->columns = static_cast<int16_t>(width);
    record->rows = static_cast<int16_t>(height);
    record->planes = 3;
    record->imageMode = 3;
    record->horizontalResolution = static_cast<int32_t>(input.Long());
    record->verticalResolution = static_cast<int32_t>(input.Long());
    const uint8_t profile = input.Byte();
    record->profilesEnabled = profile & 1;
    if (profile & 2) {
        // Now and then one just over a chunk, so that it takes two.
        const int32_t bytes = (profile & 4) ? 65519 + (profile >> 3) : 1 + input.Byte() * 8;
        record->profileData = host.NewHandle(bytes);
        std::memset(*record->profileData, profile, static_cast<size_t>(bytes));
        record->profileSize = bytes;
    }

    // What goes wrong.
    const uint8_t trouble = input.Byte();
    const uint8_t at = input.Byte();
    int64_t cancelAt = 0;
    switch (trouble % 4) {
        case 1:
            host.FailAllocation(1 + at % 48);
            break;
        case 2:
            host.FailFileCall(static_cast<host::FileCall>((trouble >> 2) % host::kFileCallKinds), 1 + at % 16,
                              (trouble & 0x40) != 0);
            break;
        case 3:
            cancelAt = 1 + at;
            host.CancelAtCheck(cancelAt);
            break;
        default:
            break;
    }

    // The pixels: the rest of the input over and over, or noise that makes a file of many buffers.
    const bool noise = (input.Byte() & 1) != 0;
    size_t patternSize = 0;
    const uint8_t* pattern = input.Rest(&patternSize);
    uint32_t state = 0x9E3779B9u ^ static_cast<uint32_t>(size);

    const int fd = memfd_create("fuzz-out.jpg", 0);
    if (fd < 0) std::abort();
    record->fileHandle = static_cast<uint64_t>(fd);

    bool failed = false;
    bool ended = false;
    failed |= Call(selectorWritePrepare) != 0;
    if (!failed && Call(selectorWriteStart) == 0) {
        const size_t rowBytes = static_cast<size_t>(width) * 3;
        size_t next = 0;
        for (int32_t row = 0; row < height; ++row) {
            uint8_t* rowData = static_cast<uint8_t*>(record->rowData);
            if (rowData == nullptr || record->area[areaTop] != row) Finding("the module asked for the wrong row");
            for (size_t i = 0; i < rowBytes; ++i) {
                if (noise) {
                    state = state * 1664525u + 1013904223u;
                    rowData[i] = static_cast<uint8_t>(state >> 24);
                } else {
                    rowData[i] = patternSize == 0 ? 0 : pattern[next++ % patternSize];
                }
            }
            if (Call(selectorWriteContinue) != 0) {
                failed = true;
                break;
            }
        }
        ended = !failed && record->rowData == nullptr;
        failed |= Call(selectorWriteFinish) != 0;
    } else {
        failed = true;
    }
    record->fileHandle = host::kNoFile;

    const bool injected = host.Stats().refusedAllocations > 0 || host.FailedFileCalls() > 0 ||
                          (cancelAt > 0 && host.CancelChecks() >= cancelAt);
    const bool valid = width > 0 && height > 0;
    if (!failed && (injected || !valid)) Finding("a write that failed was answered 0");
    if (!failed && !ended) Finding("a write answered 0 without taking every row");
    if (!failed) {
        const off_t length = lseek(fd, 0, SEEK_END);
        std::vector<uint8_t> jpeg(static_cast<size_t>(length > 0 ? length : 0));
        if (pread(fd, jpeg.data(), jpeg.size(), 0) != static_cast<ssize_t>(jpeg.size())) std::abort();
        if (!PeerDecodesCleanly(jpeg, width, height)) Finding("a file answered 0 does not decode cleanly");
    }
    close(fd);

    host.ReleaseHostHandles();
    host.ResetScripts();
    host.FailAllocation(0);
    if (host.Stats().liveHandles != 0) Finding("host handles left alive");
    if (!host.HostBytesIntact()) Finding("the module wrote to the host's bytes of the record");
    return 0;
}
