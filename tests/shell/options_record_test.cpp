// The options record held by the host: clearing of the run state, and the legacy record's conversion
// without memory. (Creation with the defaults, conversion and replacement of foreign records are
// checked by the files written through the module, tests/module/write_markers_test.cpp, and a new
// record without memory by write_failure_test.cpp.)
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

using testing_support::OptionsRecordBytes;

TEST_F(OptionsRecordTest, ValidRecordLosesOnlyItsRunState) {
    std::vector<uint8_t> bytes = OptionsRecordBytes(9, 2, 3);
    for (int i = 4; i < 22; ++i) bytes[i] = static_cast<uint8_t>(0xC0 + i);
    Store(bytes);
    Handle before = Record()->persistentData;
    EXPECT_EQ(EnsureOptionsRecord(Record()), 0);
    EXPECT_EQ(Record()->persistentData, before) << "a valid record is kept in place";
    EXPECT_EQ(StoredBytes(), OptionsRecordBytes(9, 2, 3));
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
    EXPECT_EQ(StoredBytes(), OptionsRecordBytes(5, 0, 1));
    EXPECT_EQ(LiveHandles(), 1);

    Host().ReleaseHostHandles();
    Store(legacy);
    Host().FailAllAllocations(true);
    EXPECT_EQ(EnsureOptionsRecord(Record()), resultOutOfMemory);
    EXPECT_EQ(Record()->persistentData, nullptr);
    EXPECT_EQ(LiveHandles(), 0);
}

}  // namespace
