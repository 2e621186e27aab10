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
}  // namespace

int16_t ReadFileBytes(uint64_t fileHandle, int32_t* count, void* buffer) {
    const int fd = ToDescriptor(fileHandle);
    const int32_t wanted = *count;
    if (fd < 0 || wanted < 0) {
        *count = 0;
        return resultIoError;
    }
    // Pipes and terminals may deliver less than asked before the end: keep reading until the
    // request is met or the file ends.
    int32_t done = 0;
    while (done < wanted) {
        const ssize_t got = read(fd, static_cast<char*>(buffer) + done, static_cast<size_t>(wanted - done));
        if (got < 0) {
            if (errno == EINTR) continue;
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
    const int fd = ToDescriptor(fileHandle);
    const int32_t wanted = *count;
    if (fd < 0 || wanted < 0) {
        *count = 0;
        return resultIoError;
    }
    int32_t done = 0;
    while (done < wanted) {
        const ssize_t put = write(fd, static_cast<const char*>(buffer) + done, static_cast<size_t>(wanted - done));
        if (put < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (put == 0) break;
        done += static_cast<int32_t>(put);
    }
    *count = done;
    return done == wanted ? resultOk : resultIoError;
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
