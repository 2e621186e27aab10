// Creation, validation and conversion of the options record held by the host.
#include "shell/options_record.h"

#include <bit>
#include <cstring>

#include "shell/host_library_q.h"

namespace kv::shell {

namespace {

constexpr int32_t kRecordBytes = sizeof(JpegOptionsRecord);
constexpr int32_t kLegacyBytes = 20;   // through the legacy scans word at bytes 18-19
constexpr std::size_t kRunStateBegin = offsetof(JpegOptionsRecord, context);
constexpr std::size_t kRunStateEnd = offsetof(JpegOptionsRecord, quality);
constexpr std::size_t kLegacyOptions = 14;

// Host-order values turned big-endian through the host's swap routines on little-endian machines.
uint32_t BigEndian32(uint32_t value) {
    return std::endian::native == std::endian::little ? Q_LongSwap(value) : value;
}
int16_t BigEndian16(int16_t value) {
    return std::endian::native == std::endian::little
               ? static_cast<int16_t>(Q_ShortSwap(static_cast<uint16_t>(value)))
               : value;
}

uint32_t ReadSignature(const char* block) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(block);
    return (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) | bytes[3];
}

// The size of a handle's block when the host can tell it; records the host cannot measure are
// taken at their word.
int32_t BlockSize(const HostFormatRecord* record, Handle handle, int32_t assumed) {
    if (record->handleSuite == nullptr || record->handleSuite->getHandleSize == nullptr) return assumed;
    return record->handleSuite->getHandleSize(handle);
}

// A new zeroed record carrying the signature, installed as persistentData; null without memory.
JpegOptionsRecord* NewRecord(HostFormatRecord* record) {
    Handle fresh = record->newHandle(kRecordBytes);
    if (fresh == nullptr) return nullptr;
    if (*fresh == nullptr) {
        record->disposeHandle(fresh);
        return nullptr;
    }
    char* target = *fresh;
    std::memset(target, 0, kRecordBytes);
    const uint32_t stored = BigEndian32(kOptionsSignature);
    std::memcpy(target, &stored, sizeof stored);
    record->persistentData = fresh;
    return reinterpret_cast<JpegOptionsRecord*>(target);
}

void Dispose(HostFormatRecord* record) {
    record->disposeHandle(record->persistentData);
    record->persistentData = nullptr;
}

}  // namespace

int16_t EnsureOptionsRecord(HostFormatRecord* record) {
    int16_t answer = resultOk;
    Handle current = record->persistentData;
    if (current != nullptr) {
        char* block = *current;
        const int32_t size = block == nullptr ? 0 : BlockSize(record, current, kRecordBytes);
        const uint32_t signature = size >= 4 ? ReadSignature(block) : 0;
        if (signature == kOptionsSignature && size >= kRecordBytes) {
            std::memset(block + kRunStateBegin, 0, kRunStateEnd - kRunStateBegin);
            return resultOk;
        }
        if (signature == kLegacySignature && size >= kLegacyBytes) {
            char options[6];
            std::memcpy(options, block + kLegacyOptions, sizeof options);
            Dispose(record);
            if (JpegOptionsRecord* converted = NewRecord(record)) {
                std::memcpy(reinterpret_cast<char*>(converted) + offsetof(JpegOptionsRecord, quality), options,
                            sizeof options);
                return resultOk;
            }
            // The defaults are still tried, but the lost options are reported.
            answer = resultOutOfMemory;
        } else {
            Dispose(record);
        }
    }
    JpegOptionsRecord* options = NewRecord(record);
    if (options == nullptr) return resultOutOfMemory;
    options->quality = BigEndian16(kDefaultQuality);
    options->format = BigEndian16(kDefaultFormat);
    options->scans = BigEndian16(kDefaultScans);
    return answer;
}

void SwapOptions(int16_t* fields) {
    for (int i = 0; i < 3; ++i) {
        int16_t value;
        std::memcpy(&value, fields + i, sizeof value);
        value = static_cast<int16_t>(Q_ShortSwap(static_cast<uint16_t>(value)));
        std::memcpy(fields + i, &value, sizeof value);
    }
}

JpegOptionsRecord* ValidOptionsRecord(HostFormatRecord* record) {
    if (record->persistentData == nullptr || *record->persistentData == nullptr) return nullptr;
    if (ReadSignature(*record->persistentData) != kOptionsSignature) return nullptr;
    return OptionsRecordOf(record);
}

}  // namespace kv::shell
