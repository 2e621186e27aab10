// Buffered byte streams over the host's file handle: a ByteSource for the decoder and a ByteSink
// for the encoder, both one StreamBuffer with a 32768-byte buffer. Every operation records its
// outcome in lastError and in the stream's error field, where a sink keeps its first failure.
#pragma once

#include <cstddef>
#include <cstdint>

#include "codec/codec_io.h"

namespace kv::shell {

// Creates a stream and its buffer from the shell's memory: a source (writeFlag 0) or a sink
// (writeFlag 1) on the given file. Null with the memory service's code in *error on failure.
codec::StreamBuffer* StreamOpen(uint64_t fileHandle, int32_t writeFlag, int16_t* error);
// Frees the buffer and the stream and clears the variable; null does nothing.
void StreamClose(codec::StreamBuffer*& stream);

}  // namespace kv::shell
