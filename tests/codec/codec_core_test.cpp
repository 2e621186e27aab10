// The codec core: releasing what a context holds, the message table, the coarse-table thresholds,
// and a raise unwinding through a real long jump to the shell's mapping of categories. (A context
// that were not zeroed would fail every read of the module tests: the host fills fresh blocks with
// junk.)
#include <csetjmp>
#include <cstring>
#include <set>
#include <string>

#include "codec/codec_context.h"
#include "codec/codec_errors.h"
#include "shell/handlers.h"
#include "shell/host_memory.h"
#include "tests/support/test_support.h"

using namespace kv::codec;
using namespace kv::shell;

namespace {

using CodecCoreTest = testing_support::HostMemoryTest;

TEST(CodecMessages, TableHoldsEveryTextOnce) {
    std::set<std::string> texts;
    for (const char* text : CodecMessages) {
        ASSERT_NE(text, nullptr);
        texts.insert(text);
    }
    EXPECT_EQ(texts.size(), static_cast<std::size_t>(kCodecMessageCount));
    EXPECT_STREQ(CodecMessages[0], "Cannot allocate %d bytes");
    EXPECT_STREQ(CodecMessages[9], "JPEG marker 0x%2X disallowed in Huffcoded region");
    EXPECT_STREQ(CodecMessages[23], "Input did not begin with a JPEG SOI marker");
    EXPECT_STREQ(CodecMessages[39], "JPEG SOFn DQT or DHT marker missing before SOS marker");
    EXPECT_STREQ(CodecMessages[44], "Unknown or invalid JPEG marker = 0x%X");
    EXPECT_STREQ(CodecMessages[53], "HuffCounts counter >= 2^31 overflow");
    EXPECT_STREQ(CodecMessages[60], "Number of DC or AC HuffTables > 2 JPEG Baseline limit");
}

TEST(CoarseThreshold, KnownEntriesAndTotal) {
    int total = 0;
    std::set<int> nines;
    for (int i = 0; i < 64; ++i) {
        total += CoarseThresholdTable[i];
        EXPECT_GE(CoarseThresholdTable[i], 7);
        if (CoarseThresholdTable[i] == 9) nines.insert(i);
    }
    EXPECT_EQ(total, 480);
    EXPECT_EQ(nines, (std::set<int>{0, 10, 14, 39}));
}

TEST_F(CodecCoreTest, ReleasingMarkersAndWorkBlockTwiceIsHarmless) {
    CodecContext* context = CodecCreate();
    ASSERT_NE(context, nullptr);
    MarkerRecord** tail = &context->markers;
    for (int i = 0; i < 3; ++i) {
        auto* marker = static_cast<MarkerRecord*>(MemoryAllocateZeroed(1, kMarkerRecordHeader + 8));
        ASSERT_NE(marker, nullptr);
        *tail = marker;
        tail = &marker->next;
    }
    context->caption = static_cast<char*>(MemoryAllocate(6));
    std::memcpy(context->caption, "hello", 6);
    context->captionLength = 5;
    context->workBlock = static_cast<uint8_t*>(MemoryAllocate(256));
    context->workBlockSize = 256;
    context->outputRow = context->workBlock + 128;
    EXPECT_EQ(LiveHandles(), 6);

    ReleaseMarkers(context);
    EXPECT_EQ(context->markers, nullptr);
    EXPECT_EQ(context->caption, nullptr);
    EXPECT_EQ(LiveHandles(), 2);
    ReleaseMarkers(context);
    EXPECT_EQ(LiveHandles(), 2);

    ReleaseWorkBlock(context);
    EXPECT_EQ(context->workBlock, nullptr);
    EXPECT_EQ(context->outputRow, nullptr) << "no pointer into the freed block survives";
    EXPECT_EQ(LiveHandles(), 1);
    ReleaseWorkBlock(context);
    EXPECT_EQ(LiveHandles(), 1);
    CodecDestroy(context);
}

// Raises from a few frames down, as the decoder would deep inside a scan.
[[noreturn]] void RaiseDeep(CodecContext* context, int depth, int category) {
    if (depth == 0) CodecRaise(context, category, messageSourceEndedInScan, 3, 17);
    RaiseDeep(context, depth - 1, category);
}

// Arms the jump point the way a handler does and answers the mapped result.
int16_t RunAndMap(CodecContext* context, int category) {
    if (int raised = setjmp(codecJumpPoint)) return MapCodecFailure(raised);
    RaiseDeep(context, 5, category);
}

TEST_F(CodecCoreTest, RaiseUnwindsToTheJumpPointWithItsCategory) {
    CodecContext* context = CodecCreate();
    ASSERT_NE(context, nullptr);
    const struct {
        int category;
        int16_t result;
    } cases[] = {
        {1, resultCodecFailure},  {3, resultCodecFailure},  {4, resultCodecFailure},
        {5, resultCodecFailure},  {7, resultOutOfMemory},   {10, resultCannotRead},
        {11, resultCannotRead},   {12, resultCannotRead},   {13, resultCannotRead},
        {14, resultCodecFailure}, {15, resultCodecFailure}, {16, resultCodecFailure},
        {17, resultCodecFailure},
    };
    for (const auto& c : cases) {
        lastError = 0;
        EXPECT_EQ(RunAndMap(context, c.category), c.result) << "category " << c.category;
        EXPECT_EQ(lastError, c.result) << "the mapped code is left in lastError";
        EXPECT_EQ(context->errorCategory, c.category);
        EXPECT_EQ(context->errorMessage, 10);
        EXPECT_EQ(context->errorArguments[0], 3);
        EXPECT_EQ(context->errorArguments[1], 17);
    }
    CodecDestroy(context);
}

TEST_F(CodecCoreTest, AFileOrMemoryCodeBehindTheRaiseWins) {
    for (int16_t code : {resultIoError, resultEndOfFile, resultOutOfMemory}) {
        lastError = code;
        EXPECT_EQ(RunAndMap(nullptr, categoryBadData), code);
        EXPECT_EQ(lastError, code);
    }
}

TEST(CodecFatalDeathTest, PrintsTheBugLineAndExitsWithOne) {
    EXPECT_EXIT(CodecFatal("decoder.cpp", 42), ::testing::ExitedWithCode(1), "BUG at decoder.cpp line 42\n");
    EXPECT_EXIT(CodecFatal(nullptr, 0), ::testing::ExitedWithCode(1), "BUG at  line 0\n");
    EXPECT_EXIT(CodecBug(), ::testing::ExitedWithCode(1), "BUG at  line 0\n");
}

}  // namespace
