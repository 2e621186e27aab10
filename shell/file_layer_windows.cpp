// The file layer on Windows: the host's file handle holds the HANDLE the host opened. Positions
// and sizes travel through the 64-bit forms of the calls (SetFilePointerEx, GetFileSizeEx), so a
// file of 2 GiB or more is told apart from a failure rather than wrapped; the result codes are
// those of file_layer.h, as on every system.
#include <windows.h>

#include <climits>

#include "shell/file_layer.h"
#include "shell/host_record.h"

namespace kv::shell {

namespace {
HANDLE ToHandle(uint64_t fileHandle) { return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(fileHandle)); }
}  // namespace

// A pipe may deliver less than asked before its end: keep reading until the request is met or the
// file ends (a file's end reads 0 bytes; a pipe's end fails with ERROR_BROKEN_PIPE).
int16_t ReadFileBytes(uint64_t fileHandle, int32_t* count, void* buffer) {
    const int32_t wanted = *count;
    if (wanted < 0) {
        *count = 0;
        return resultIoError;
    }
    int32_t done = 0;
    while (done < wanted) {
        DWORD got = 0;
        if (!ReadFile(ToHandle(fileHandle), static_cast<char*>(buffer) + done, static_cast<DWORD>(wanted - done), &got,
                      nullptr)) {
            const DWORD error = GetLastError();
            if (error == ERROR_HANDLE_EOF || error == ERROR_BROKEN_PIPE) break;
            *count = 0;
            return resultIoError;
        }
        if (got == 0) break;
        done += static_cast<int32_t>(got);
    }
    *count = done;
    return done == wanted ? resultOk : resultEndOfFile;
}

int16_t WriteFileBytes(uint64_t fileHandle, int32_t* count, const void* buffer) {
    const int32_t wanted = *count;
    if (wanted < 0) {
        *count = 0;
        return resultIoError;
    }
    int32_t done = 0;
    while (done < wanted) {
        DWORD put = 0;
        if (!WriteFile(ToHandle(fileHandle), static_cast<const char*>(buffer) + done,
                       static_cast<DWORD>(wanted - done), &put, nullptr) ||
            put == 0) {
            break;
        }
        done += static_cast<int32_t>(put);
    }
    *count = done;
    return done == wanted ? resultOk : resultIoError;
}

int16_t SeekFile(uint64_t fileHandle, int16_t origin, int32_t offset) {
    DWORD method;
    switch (origin) {
        case seekFromStart: method = FILE_BEGIN; break;
        case seekFromEnd: method = FILE_END; break;
        case seekFromCurrent: method = FILE_CURRENT; break;
        default: return resultIoError;
    }
    LARGE_INTEGER distance;
    distance.QuadPart = offset;
    return SetFilePointerEx(ToHandle(fileHandle), distance, nullptr, method) ? resultOk : resultIoError;
}

int16_t FileSize(uint64_t fileHandle, int32_t* size) {
    LARGE_INTEGER length;
    if (!GetFileSizeEx(ToHandle(fileHandle), &length) || length.QuadPart > INT32_MAX) {
        *size = 0;
        return resultIoError;
    }
    *size = static_cast<int32_t>(length.QuadPart);
    return resultOk;
}

}  // namespace kv::shell
