// The file layer: the four operating-system calls the module makes on the host's file handle,
// each answering a ResultCode. On POSIX systems the handle holds a file descriptor; on Windows it
// holds the HANDLE the host opened.
#pragma once

#include <cstdint>

namespace kv::shell {

// Reads up to *count bytes in one call of the system (fewer than asked from a pipe that has fewer
// yet, or at the end of a file). 0 when all were read, -39 when fewer were (*count tells how many),
// -36 when the call failed (*count is then 0).
int16_t ReadFileBytes(uint64_t fileHandle, int32_t* count, void* buffer);

// Writes *count bytes. -36 when the call failed or wrote fewer (*count tells how many), else 0.
int16_t WriteFileBytes(uint64_t fileHandle, int32_t* count, const void* buffer);

// Moves the file position: origin 1 from the start, 2 from the end, 3 from the current position.
// -36 when the move failed or the origin is unknown, else 0.
int16_t SeekFile(uint64_t fileHandle, int16_t origin, int32_t offset);

// The file's size in bytes; -36 and a size of 0 when the query failed.
int16_t FileSize(uint64_t fileHandle, int32_t* size);

enum SeekOrigin : int16_t { seekFromStart = 1, seekFromEnd = 2, seekFromCurrent = 3 };

}  // namespace kv::shell
