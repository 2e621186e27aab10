// The file layer on POSIX systems: the host's file handle holds a file descriptor.
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "shell/file_layer.h"
#include "shell/host_record.h"

namespace kv::shell {

namespace {
int ToDescriptor(uint64_t fileHandle) {
    return fileHandle > static_cast<uint64_t>(INT_MAX) ? -1 : static_cast<int>(fileHandle);
}

// Moves *count bytes with move(done) (a write of the rest from byte `done` on). Pipes and
// terminals may take less than asked: it keeps moving until all are moved, a call moves nothing or
// fails. *count becomes the bytes moved; answers whether a call failed.
template <typename Move>
bool MoveAll(int32_t* count, Move move) {
    const int32_t wanted = *count;
    int32_t done = 0;
    while (done < wanted) {
        const ssize_t moved = move(done);
        if (moved < 0) {
            if (errno == EINTR) continue;
            *count = done;
            return true;
        }
        if (moved == 0) break;
        done += static_cast<int32_t>(moved);
    }
    *count = done;
    return false;
}
}  // namespace

// One read: a file gives fewer bytes than asked only at its end, a pipe or terminal whatever it has
// (at least one byte, or none at its end). The stream takes a short read as bytes to go on with and
// asks again when it needs more, so a small file costs one read, not a second one that finds the end.
int16_t ReadFileBytes(uint64_t fileHandle, int32_t* count, void* buffer) {
    const int fd = ToDescriptor(fileHandle);
    const int32_t wanted = *count;
    ssize_t got = -1;
    if (fd >= 0 && wanted >= 0) {
        do {
            got = read(fd, buffer, static_cast<size_t>(wanted));
        } while (got < 0 && errno == EINTR);
    }
    if (got < 0) {
        *count = 0;
        return resultIoError;
    }
    *count = static_cast<int32_t>(got);
    return *count == wanted ? resultOk : resultEndOfFile;
}

int16_t WriteFileBytes(uint64_t fileHandle, int32_t* count, const void* buffer) {
    const int fd = ToDescriptor(fileHandle);
    const int32_t wanted = *count;
    const auto* bytes = static_cast<const char*>(buffer);
    if (fd < 0 || wanted < 0) {
        *count = 0;
        return resultIoError;
    }
    MoveAll(count, [&](int32_t done) { return write(fd, bytes + done, static_cast<size_t>(wanted - done)); });
    return *count == wanted ? resultOk : resultIoError;
}

int16_t SeekFile(uint64_t fileHandle, int16_t origin, int32_t offset) {
    const int fd = ToDescriptor(fileHandle);
    int whence;
    switch (origin) {
        case seekFromStart: whence = SEEK_SET; break;
        case seekFromEnd: whence = SEEK_END; break;
        case seekFromCurrent: whence = SEEK_CUR; break;
        default: return resultIoError;
    }
    if (fd < 0) return resultIoError;
    return lseek(fd, static_cast<off_t>(offset), whence) < 0 ? resultIoError : resultOk;
}

int16_t FileSize(uint64_t fileHandle, int32_t* size) {
    const int fd = ToDescriptor(fileHandle);
    struct stat info;
    if (fd < 0 || fstat(fd, &info) != 0 || info.st_size > INT32_MAX) {
        *size = 0;
        return resultIoError;
    }
    *size = static_cast<int32_t>(info.st_size);
    return resultOk;
}

}  // namespace kv::shell
