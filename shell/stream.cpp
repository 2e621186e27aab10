// Buffered stream operations: refills of the source, flushes of the sink, unget, seek and tell.
#include "shell/stream.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "shell/file_layer.h"
#include "shell/host_memory.h"
#include "shell/host_record.h"

namespace kv::shell {

// The record and its buffer are one block: the buffer follows the record.
codec::StreamBuffer* StreamOpen(uint64_t fileHandle, int32_t writeFlag, int16_t* error) {
    void* block = ShellAllocate(sizeof(codec::StreamBuffer) + codec::kStreamBufferSize, error);
    if (block == nullptr) return nullptr;
    auto* stream = static_cast<codec::StreamBuffer*>(block);
    auto* buffer = static_cast<uint8_t*>(block) + sizeof(codec::StreamBuffer);
    *stream = codec::StreamBuffer{fileHandle, 0, 0, 0, 0, 0, writeFlag, codec::kStreamBufferSize,
                                  buffer};
    return stream;
}

void StreamClose(codec::StreamBuffer*& stream) {
    if (stream == nullptr) return;
    ShellFree(stream);
}

}  // namespace kv::shell

namespace kv::codec {

static_assert(kIoEndOfFile == resultEndOfFile && kIoOk == resultOk, "the codec tells these outcomes apart");

namespace {

// Positions are 32-bit and wrap around past 2 GiB (a pipe that never ends, a file larger than the
// design): the sum as the 32-bit machine gives it, defined in C++.
int32_t Wrap(int32_t a, int32_t b) { return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b)); }

// Leaves an operation's outcome in lastError and in the stream's error field. A sink keeps its
// first failure there until it is closed: the bytes of a failed write are lost for good, so no later
// success may hide it. A source's field follows every operation.
void Record(StreamBuffer* stream, int16_t code) {
    if (stream->writeFlag != 1 || stream->error == resultOk) stream->error = code;
    lastError = code;
}

// Reads a whole buffer's worth from the file; answers the file layer's code and the bytes read.
int16_t ReadBuffer(StreamBuffer* stream, int32_t* got) {
    *got = stream->bufferSize;
    return shell::ReadFileBytes(stream->fileHandle, got, stream->buffer);
}

// Writes the first `bytes` of the buffer; the buffer is emptied whether or not the write worked.
int16_t WriteBuffer(StreamBuffer* stream, int32_t bytes) {
    int32_t written = bytes;
    const int16_t code = shell::WriteFileBytes(stream->fileHandle, &written, stream->buffer);
    stream->transferred = Wrap(stream->transferred, written);
    stream->count = 0;
    stream->index = 0;
    return code;
}

}  // namespace

int SourceFill(ByteSource* source) {
    int32_t got = 0;
    int16_t code = ReadBuffer(source, &got);
    int result = -1;
    if (code == resultOk || (code == resultEndOfFile && got > 0)) {
        source->index = 1;
        source->count = got - 1;
        source->transferred = Wrap(source->transferred, got);
        result = source->buffer[0];
        code = resultOk;
    } else {
        source->count = 0;
        source->index = 0;
    }
    if (code == resultEndOfFile) {
        // The end of the file: the error field keeps what it had.
        source->endFlag = -1;
        lastError = resultEndOfFile;
        return -1;
    }
    Record(source, code);
    return result;
}

int SourceUngetByte(int byte, ByteSource* source) {
    if (byte == -1 || source->index == 0) return -1;
    --source->index;
    ++source->count;
    source->buffer[source->index] = static_cast<uint8_t>(byte);
    return byte;
}

int32_t SourceRead(std::span<uint8_t> destination, ByteSource* source) {
    if (destination.empty()) {
        Record(source, resultOk);
        return 0;
    }
    int64_t wanted = static_cast<int64_t>(std::min<std::size_t>(destination.size(), INT32_MAX));
    uint8_t* out = destination.data();
    int32_t copied = 0;
    int16_t code = resultOk;
    while (wanted > 0 && code == resultOk) {
        if (wanted > source->count) {
            if (source->count > 0) {
                std::memcpy(out + copied, source->buffer + source->index, static_cast<size_t>(source->count));
                copied += source->count;
                wanted -= source->count;
            }
            int32_t got = 0;
            code = ReadBuffer(source, &got);
            if (code == resultEndOfFile && got > 0) {
                source->endFlag = -1;
                code = resultOk;
            }
            source->count = got;
            source->index = 0;
            source->transferred = Wrap(source->transferred, got);
        } else {
            const auto take = static_cast<int32_t>(wanted);
            std::memcpy(out + copied, source->buffer + source->index, static_cast<size_t>(take));
            copied += take;
            wanted = 0;
            source->index += take;
            source->count -= take;
            if (source->count == 0) {
                int32_t got = 0;
                code = ReadBuffer(source, &got);
                if (code == resultEndOfFile) {
                    source->endFlag = -1;
                    code = resultOk;
                }
                source->count = got;
                source->index = 0;
                source->transferred = Wrap(source->transferred, got);
            }
        }
    }
    Record(source, code);
    return copied;
}

int SinkPutByte(int byte, ByteSink* sink) {
    sink->buffer[sink->index] = static_cast<uint8_t>(byte);
    ++sink->count;
    ++sink->index;
    int16_t code = resultOk;
    if (sink->count == sink->bufferSize) code = WriteBuffer(sink, sink->bufferSize);
    Record(sink, code);
    return code == resultOk ? (byte & 0xFF) : -1;
}

int32_t SinkWrite(std::span<const uint8_t> bytes, ByteSink* sink) {
    if (bytes.empty()) {
        Record(sink, resultOk);
        return 0;
    }
    int64_t wanted = static_cast<int64_t>(std::min<std::size_t>(bytes.size(), INT32_MAX));
    const uint8_t* in = bytes.data();
    int32_t taken = 0;
    int16_t code = resultOk;
    while (wanted > sink->bufferSize - sink->count) {
        const int32_t space = sink->bufferSize - sink->count;
        std::memcpy(sink->buffer + sink->index, in + taken, static_cast<size_t>(space));
        taken += space;
        wanted -= space;
        code = WriteBuffer(sink, sink->bufferSize);
        if (code != resultOk) break;
    }
    if (code == resultOk) {
        const auto rest = static_cast<int32_t>(wanted);
        std::memcpy(sink->buffer + sink->index, in + taken, static_cast<size_t>(rest));
        taken += rest;
        sink->count += rest;
        sink->index += rest;
        if (sink->count == sink->bufferSize) code = WriteBuffer(sink, sink->bufferSize);
    }
    Record(sink, code);
    return taken;
}

int SinkFlush(ByteSink* sink) {
    int16_t code = resultOk;
    if (sink->count > 0 && sink->writeFlag == 1) {
        code = WriteBuffer(sink, sink->count);
    } else {
        sink->count = 0;
        sink->index = 0;
    }
    Record(sink, code);
    return code == resultOk ? 0 : -1;
}

int SinkSeek(ByteSink* sink, int32_t offset, int origin) {
    // A flush that fails leaves the file where it was: the bytes it lost would otherwise be
    // silently skipped over.
    if (SinkFlush(sink) != 0) return -1;
    int16_t code;
    switch (origin) {
        case 0:
            sink->transferred = offset;
            code = shell::SeekFile(sink->fileHandle, shell::seekFromStart, offset);
            break;
        case 1:
            sink->transferred = Wrap(sink->transferred, offset);
            code = shell::SeekFile(sink->fileHandle, shell::seekFromCurrent, offset);
            break;
        case 2: {
            int32_t size = 0;
            code = shell::FileSize(sink->fileHandle, &size);
            if (code == resultOk) {
                sink->transferred = Wrap(size, offset);
                code = shell::SeekFile(sink->fileHandle, shell::seekFromEnd, offset);
            }
            break;
        }
        default:
            code = resultBadParameters;
            break;
    }
    if (code == resultOk) {
        sink->endFlag = 0;
        lastError = code;
    } else {
        Record(sink, code);
    }
    return code == resultOk ? 0 : -1;
}

int32_t SinkTell(const ByteSink* sink) { return Wrap(sink->transferred, sink->index); }

int32_t StreamError(const StreamBuffer* stream) { return stream->error; }

int32_t StreamAtEnd(const StreamBuffer* stream) { return stream->endFlag; }

}  // namespace kv::codec
