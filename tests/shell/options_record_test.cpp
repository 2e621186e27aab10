// The options record held by the host: creation with the defaults, clearing of the run state,
// conversion of the legacy record and replacement of foreign ones, byte for byte.
#include <cstring>
#include <vector>

#include "shell/options_record.h"
#include "tests/support/test_support.h"

using namespace kv::shell;

namespace {

class OptionsRecordTest : public testing_support::HostMemoryTest {
protected:
    HostFormatRecord* Record() { return Host().Record(); }

    std::vector<uint8_t> StoredBytes() {
        Handle handle = Record()->persistentData;
        EXPECT_NE(handle, nullptr);
        if (handle == nullptr) return {};
        const auto* bytes = reinterpret_cast<const uint8_t*>(*handle);
        return std::vector<uint8_t>(bytes, bytes + Host().HandleSize(handle));
    }

    void Store(const std::vector<uint8_t>& bytes) {
        Handle handle = Host().NewHandle(static_cast<int32_t>(bytes.size()));
        std::memcpy(*handle, bytes.data(), bytes.size());
        Record()->persistentData = handle;
    }
};

std::vector<uint8_t> RecordBytes(uint8_t quality, uint8_t format, uint8_t scans) {
    std::vector<uint8_t> bytes(28, 0);
    std::memcpy(bytes.data(), "JP64", 4);
    bytes[23] = quality;
    bytes[25] = format;
    bytes[27] = scans;
    return bytes;
}

TEST_F(OptionsRecordTest, ValidRecordLosesOnlyItsRunState) {
    std::vector<uint8_t> bytes = RecordBytes(9, 2, 3);
    for (int i = 4; i < 22; ++i) bytes[i] = static_cast<uint8_t>(0xC0 + i);
    Store(bytes);
    Handle before = Record()->persistentData;
    EXPECT_EQ(EnsureOptionsRecord(Record()), 0);
    EXPECT_EQ(Record()->persistentData, before) << "a valid record is kept in place";
    EXPECT_EQ(StoredBytes(), RecordBytes(9, 2, 3));
    JpegOptionsRecord* options = ValidOptionsRecord(Record());
    ASSERT_NE(options, nullptr);
    // The run-state fields sit unaligned in the packed record: compare copies, not references.
    EXPECT_TRUE(options->context == nullptr);
    EXPECT_TRUE(options->rowBuffer == nullptr);
    EXPECT_EQ(uint16_t{options->rowCounter}, 0);
}

TEST_F(OptionsRecordTest, LegacyConversionWithoutMemoryFallsBackAndReportsIt) {
    std::vector<uint8_t> legacy(20, 0);
    std::memcpy(legacy.data(), "JPEG", 4);
    legacy[15] = 9;
    Store(legacy);
    Host().FailAllocation(1);  // the converted record cannot be made; the defaults can
    EXPECT_EQ(EnsureOptionsRecord(Record()), resultOutOfMemory);
    EXPECT_EQ(StoredBytes(), RecordBytes(5, 0, 1));
    EXPECT_EQ(LiveHandles(), 1);

    Host().ReleaseHostHandles();
    Store(legacy);
    Host().FailAllAllocations(true);
    EXPECT_EQ(EnsureOptionsRecord(Record()), resultOutOfMemory);
    EXPECT_EQ(Record()->persistentData, nullptr);
    EXPECT_EQ(LiveHandles(), 0);
}

TEST_F(OptionsRecordTest, NoMemoryForANewRecord) {
    Host().FailAllocation(1);
    EXPECT_EQ(EnsureOptionsRecord(Record()), resultOutOfMemory);
    EXPECT_EQ(Record()->persistentData, nullptr);
}

}  // namespace
