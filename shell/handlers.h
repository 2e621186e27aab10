// The selector handlers behind FilterMain. Each takes the host block, the (unused) data word and
// the result word, runs to completion and reports only through the result word and the block.
#pragma once

#include <cstdint>

#include "shell/host_record.h"

namespace kv::codec {
struct CodecContext;
}

namespace kv::shell {

using SelectorHandler = void (*)(HostFormatRecord* record, intptr_t data, int16_t* result);

// Read prepare and write prepare: no buffer memory asked of the host, lastError cleared, and the
// record becomes the current record through which the memory service reaches the host.
void PrepareTransfer(HostFormatRecord* record, intptr_t data, int16_t* result);

void ReadStart(HostFormatRecord* record, intptr_t data, int16_t* result);
void ReadContinue(HostFormatRecord* record, intptr_t data, int16_t* result);
void ReadFinish(HostFormatRecord* record, intptr_t data, int16_t* result);

void OptionsStart(HostFormatRecord* record, intptr_t data, int16_t* result);

void EstimatePrepare(HostFormatRecord* record, intptr_t data, int16_t* result);
void EstimateStart(HostFormatRecord* record, intptr_t data, int16_t* result);

void WriteStart(HostFormatRecord* record, intptr_t data, int16_t* result);
void WriteContinue(HostFormatRecord* record, intptr_t data, int16_t* result);
void WriteFinish(HostFormatRecord* record, intptr_t data, int16_t* result);

void FileCheck(HostFormatRecord* record, intptr_t data, int16_t* result);

// What a start selector opens on the host's file.
enum class StreamUse : int32_t { source = 0, sink = 1 };

// Opens a source or a sink on the host's file and creates the codec context that reads or writes
// it; null with the host's code in *result when either fails, nothing left open.
codec::CodecContext* OpenCodecContext(HostFormatRecord* record, StreamUse use, int16_t* result);

// The end of a start selector, which answers `code`: on success the context and the row buffer
// become the run state kept in the options record; on failure both are released and the run state
// cleared.
int16_t KeepRunState(HostFormatRecord* record, codec::CodecContext* context, uint8_t* rowBuffer, int16_t code);

// Frees the stream of a read or write, the codec's working memory and kept markers, and the context.
void ReleaseCodecContext(codec::CodecContext*& context);

// What the finish selectors do: releases the context and the row buffer kept in the options record
// and clears them there. Without a running read or write it does nothing.
void ReleaseRunState(HostFormatRecord* record);

struct JpegOptionsRecord;

// The options record of a running read or write whose codec may be entered; otherwise null, with
// the answer in *result: -30500 without a running read or write, or the same result again after a
// failure (the codec is not entered again once it has unwound).
JpegOptionsRecord* RunningOptions(HostFormatRecord* record, int16_t* result);

// Maps a failure of a continue call (as MapCodecFailure) and keeps the answer in the context for the
// calls that follow.
int16_t RecordCodecFailure(codec::CodecContext* context, int category);

// Whether a failure inside the codec is kept in the context (continue calls: every later call gives
// the same answer) or only answered (start calls, which release the context on failure).
enum class FailureKept : bool { no, yes };

// One step of the codec, run under the jump point: answers 0 or a host result.
using CodecStep = int16_t (*)(codec::CodecContext* context, void* data);

// The one place the jump point is armed: runs `step`, and when the codec raises answers the mapped
// host result instead (kept in the context when asked). The jump lands in this function's own
// frame, which changes nothing between arming and jumping.
int16_t RunInCodec(codec::CodecContext* context, CodecStep step, void* data, FailureKept kept);

// The host result for a codec failure of the given category: -128 when the host's cancel check
// stopped the codec; else a nonzero lastError (the stream or
// memory failure behind the raise) wins; otherwise 7 is out of memory, 10 to 13 cannot-read and
// anything else a codec failure. The answer is also left in lastError.
int16_t MapCodecFailure(int category);

}  // namespace kv::shell
