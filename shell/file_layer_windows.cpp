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

// Moves *count bytes with move(done, &moved) (a WriteFile of the rest from byte `done` on), call
// after call: a pipe may take less than asked. It stops when all are moved, a call moves nothing or
// fails; a pipe's end fails with ERROR_BROKEN_PIPE. *count becomes the bytes moved; answers whether
// a call failed other than at an end.
template <typename Move>
bool MoveAll(int32_t* count, Move move) {
    const int32_t wanted = *count;
    int32_t done = 0;
    bool failed = false;
    while (done < wanted) {
        DWORD moved = 0;
        if (!move(done, &moved)) {
            const DWORD error = GetLastError();
            failed = error != ERROR_HANDLE_EOF && error != ERROR_BROKEN_PIPE;
            break;
        }
        if (moved == 0) break;
        done += static_cast<int32_t>(moved);
    }
    *count = done;
    return failed;
}
}  // namespace

// One ReadFile: a file gives fewer bytes than asked only at its end, a pipe whatever it has (its end
// fails with ERROR_BROKEN_PIPE, taken as no bytes). The stream takes a short read as bytes to go
// on with and asks again when it needs more.
int16_t ReadFileBytes(uint64_t fileHandle, int32_t* count, void* buffer) {
    const int32_t wanted = *count;
    DWORD got = 0;
    if (wanted < 0) {
        *count = 0;
        return resultIoError;
    }
    if (!ReadFile(ToHandle(fileHandle), buffer, static_cast<DWORD>(wanted), &got, nullptr)) {
        const DWORD error = GetLastError();
        if (error != ERROR_HANDLE_EOF && error != ERROR_BROKEN_PIPE) {
            *count = 0;
            return resultIoError;
        }
        got = 0;
    }
    *count = static_cast<int32_t>(got);
    return *count == wanted ? resultOk : resultEndOfFile;
}

int16_t WriteFileBytes(uint64_t fileHandle, int32_t* count, const void* buffer) {
    const int32_t wanted = *count;
    const auto* bytes = static_cast<const char*>(buffer);
    if (wanted < 0) {
        *count = 0;
        return resultIoError;
    }
    MoveAll(count, [&](int32_t done, DWORD* moved) {
        return WriteFile(ToHandle(fileHandle), bytes + done, static_cast<DWORD>(wanted - done), moved, nullptr) != 0;
    });
    return *count == wanted ? resultOk : resultIoError;
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
