// The services the codec takes from its caller, declared here and provided by the shell: a buffered
// byte source for the decoder and a byte sink for the encoder (one StreamBuffer), and memory. Every
// stream and memory operation leaves its outcome in lastError.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace kv::codec {

// Outcome of the last stream or memory operation: 0 when it succeeded, else the host's code.
extern int16_t lastError;

// The two outcomes the codec tells apart: success, and a read that found the end of the file.
inline constexpr int16_t kIoOk = 0;
inline constexpr int16_t kIoEndOfFile = -39;

inline constexpr int32_t kStreamBufferSize = 32768;

struct StreamBuffer {
    uint64_t fileHandle;
    int32_t count;        // source: unread bytes left; sink: bytes waiting to be written
    int32_t index;        // source: position of the next unread byte; sink: where the next byte goes
    int32_t error;        // source: ResultCode of the last failing or clearing operation; sink: of
                          // its first failing one; 0 when fine
    int32_t endFlag;      // -1 once a read found the end of the file, else 0
    int32_t transferred;  // bytes moved between buffer and file so far
    int32_t writeFlag;    // 1 for a sink, 0 for a source
    int32_t bufferSize;   // kStreamBufferSize
    uint8_t* buffer;
};

using ByteSource = StreamBuffer;
using ByteSink = StreamBuffer;

// Memory: the block or null; lastError becomes 0, or the host's code for no memory or a refused
// request.
void* MemoryAllocate(std::size_t size);
void* MemoryAllocateZeroed(std::size_t number, std::size_t size);
// Gives a block back; a null address does nothing.
void MemoryFree(void* address);

// Source.
int SourceFill(ByteSource* source);
// The next byte 0..255, or -1 at the end of the file or on a read error.
inline int SourceGetByte(ByteSource* source) {
    if (source->count > 0) {
        const int byte = source->buffer[source->index];
        ++source->index;
        --source->count;
        source->error = 0;
        lastError = 0;
        return byte;
    }
    return SourceFill(source);
}
// Puts one byte back in front of the next unread one; -1 (and nothing done) when byte is -1 or
// nothing has been read from the current buffer.
int SourceUngetByte(int byte, ByteSource* source);
// Fills as much of `destination` as the file holds (at most INT32_MAX bytes); answers how many
// bytes were copied.
int32_t SourceRead(std::span<uint8_t> destination, ByteSource* source);

// Sink.
int SinkPutByte(int byte, ByteSink* sink);
// Writes `bytes` (at most INT32_MAX); answers how many the sink took.
int32_t SinkWrite(std::span<const uint8_t> bytes, ByteSink* sink);
int SinkFlush(ByteSink* sink);
// Flushes, then moves: origin 0 from the start, 1 from the current position, 2 from the end.
int SinkSeek(ByteSink* sink, int32_t offset, int origin);
// The logical output position, bytes still in the buffer included.
int32_t SinkTell(const ByteSink* sink);

int32_t StreamError(const StreamBuffer* stream);
int32_t StreamAtEnd(const StreamBuffer* stream);

}  // namespace kv::codec
