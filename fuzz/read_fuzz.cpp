// Fuzz target for the read path: each input is handed to the module as a file, exactly as the host
// would hand it (file check, read prepare, start, every continue, finish). Any crash, sanitizer
// report, hang or host handle left alive afterwards is a finding.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstdio>

#include "host/host_environment.h"

extern "C" int32_t FilterMain(int16_t selector, HostFormatRecord* record, intptr_t data, int16_t* result);

namespace {

constexpr int64_t kMemoryBudget = int64_t{512} << 20;

int16_t Call(int16_t selector) {
    int16_t result = 0;
    FilterMain(selector, host::HostEnvironment::Instance().Record(), 0, &result);
    return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const int fd = memfd_create("fuzz.jpg", 0);
    if (fd < 0) std::abort();
    if (size > 0 && write(fd, data, size) != static_cast<ssize_t>(size)) std::abort();
    lseek(fd, 0, SEEK_SET);

    host::HostEnvironment& host = host::HostEnvironment::Instance();
    // A host's budget, so that a file declaring a huge image is refused as a host would refuse it.
    host.LimitMemory(kMemoryBudget);
    host.ResetRecord(true);
    HostFormatRecord* record = host.Record();
    record->fileHandle = static_cast<uint64_t>(fd);
    record->profilesEnabled = 1;
    if (Call(17) == 0 && Call(1) == 0 && Call(2) == 0) {
        // At most the rows the image has, plus the call that ends the transfer.
        for (int32_t row = 0; row <= 65536; ++row) {
            if (Call(3) != 0 || record->rowData == nullptr) break;
        }
        Call(4);
    }
    record->fileHandle = host::kNoFile;
    close(fd);
    host.ReleaseHostHandles();
    if (host.Stats().liveHandles != 0) {
        std::fprintf(stderr, "%lld host handles left alive\n", static_cast<long long>(host.Stats().liveHandles));
        std::abort();
    }
    return 0;
}
