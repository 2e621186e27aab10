// The options record the host keeps for the plug-in behind persistentData: the user's write options
// (big-endian, as stored) and, while a read or a write runs, the shell's run state.
#pragma once

#include <cstddef>
#include <cstdint>

#include "shell/host_record.h"

namespace kv::codec {
struct CodecContext;
}

namespace kv::shell {


#pragma pack(push, 4)
struct JpegOptionsRecord {
    uint8_t signature[4];         // 'J' 'P' '6' '4'
    codec::CodecContext* context;        // run state, native order
    uint8_t* rowBuffer;           // run state, native order
    uint16_t rowCounter;          // run state, native order
    int16_t quality;              // big-endian, 0..10
    int16_t format;               // big-endian: 0 baseline, 1 baseline optimised, 2 progressive
    int16_t scans;                // big-endian: 1, 2, 3 for three, four, five scans
};
#pragma pack(pop)

static_assert(sizeof(JpegOptionsRecord) == 28);
static_assert(offsetof(JpegOptionsRecord, context) == 4);
static_assert(offsetof(JpegOptionsRecord, rowBuffer) == 12);
static_assert(offsetof(JpegOptionsRecord, rowCounter) == 20);
static_assert(offsetof(JpegOptionsRecord, quality) == 22);
static_assert(offsetof(JpegOptionsRecord, format) == 24);
static_assert(offsetof(JpegOptionsRecord, scans) == 26);

inline constexpr uint32_t kOptionsSignature = 0x4A503634;  // "JP64"
inline constexpr uint32_t kLegacySignature = 0x4A504547;   // "JPEG"
inline constexpr int16_t kDefaultQuality = 5;
inline constexpr int16_t kDefaultFormat = 0;
inline constexpr int16_t kDefaultScans = 1;

// Makes persistentData hold a valid record with its run state cleared: a new record with the
// defaults, the run state of a valid record cleared, a legacy record converted, a foreign one
// replaced. 0, or -108 when a handle could not be made.
int16_t EnsureOptionsRecord(HostFormatRecord* record);

// Reverses the byte order of the three 16-bit option fields in place.
void SwapOptions(int16_t* fields);

// The valid record behind persistentData (only after EnsureOptionsRecord answered 0).
inline JpegOptionsRecord* OptionsRecordOf(HostFormatRecord* record) {
    return reinterpret_cast<JpegOptionsRecord*>(*record->persistentData);
}

// The record behind persistentData when it carries the current signature, else null.
JpegOptionsRecord* ValidOptionsRecord(HostFormatRecord* record);

}  // namespace kv::shell
