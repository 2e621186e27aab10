// FilterMain's dispatch as the host sees it through dlopen: which selectors answer what, and which
// record bytes each may change, whatever the data argument holds.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "tests/module/module_test.h"

namespace {

using module_testing::ModuleTest;

// Data arguments the host may pass: the module must not look at them.
std::vector<intptr_t> DataWords() {
    static int somewhere = 0;
    return {0, 1, -1, INTPTR_MAX, INTPTR_MIN, reinterpret_cast<intptr_t>(&somewhere)};
}

class DispatchTest : public ModuleTest {
protected:
    // Calls the selector with every data word on a filled record that `prepare` adjusts; checks
    // the answer, and that the record block is byte for byte what `expect` makes of it.
    template <class Prepare, class Expect>
    void CheckSelector(int16_t selector, int16_t answer, Prepare prepare, Expect expect) {
        for (intptr_t data : DataWords()) {
            SCOPED_TRACE(::testing::Message() << "selector " << selector << ", data " << data);
            Host().ResetRecord();
            FillRecordFields();
            prepare(Record());
            std::vector<uint8_t> expected = Snapshot();
            expect(reinterpret_cast<HostFormatRecord*>(expected.data()));
            EXPECT_EQ(Call(selector, data), answer);
            EXPECT_EQ(Snapshot(), expected);
        }
    }
};

void Unchanged(HostFormatRecord*) {}

TEST_F(DispatchTest, UnknownAndUnsupportedSelectorsAnswerBadParametersAndTouchNothing) {
    for (int16_t selector : {18, 19, 20, 21, 22, 23, 26, -1, 32767, -32768}) {
        CheckSelector(selector, resultBadParameters, Unchanged, Unchanged);
    }
}

TEST_F(DispatchTest, SelectorsWithNothingToDoAnswerOkAndTouchNothing) {
    // 9 estimate prepare only clears the module's own error word.
    for (int16_t selector : {0, 5, 7, 8, 9, 11, 12, 24, 25}) {
        CheckSelector(selector, resultOk, Unchanged, Unchanged);
    }
}

TEST_F(DispatchTest, ReadAndWritePrepareAskForNoBufferMemory) {
    for (int16_t selector : {selectorReadPrepare, selectorWritePrepare}) {
        CheckSelector(selector, resultOk, Unchanged, [](HostFormatRecord* record) { record->bufferMemory = 0; });
    }
}

struct EstimateCase {
    int16_t columns;
    int16_t planes;
    int16_t rows;
    int32_t estimate;
};

TEST_F(DispatchTest, EstimateStartAsksForTheUncompressedSize) {
    const EstimateCase cases[] = {
        {100, 3, 50, 15000},
        {1, 1, 1, 1},
        {0, 3, 50, 0},
        // The three words are sign-extended and multiplied in 32 bits, wrapping like the host does.
        {-1, 3, 2, -6},
        {30000, 4, 30000, static_cast<int32_t>(3600000000u)},
        {32767, 4, 32767, static_cast<int32_t>(4294705156u)},
    };
    for (const EstimateCase& item : cases) {
        SCOPED_TRACE(::testing::Message() << item.columns << " x " << item.planes << " x " << item.rows);
        CheckSelector(
            selectorEstimateStart, resultOk,
            [&item](HostFormatRecord* record) {
                record->columns = item.columns;
                record->planes = item.planes;
                record->rows = item.rows;
            },
            [&item](HostFormatRecord* record) {
                record->minEstimate = item.estimate;
                record->maxEstimate = item.estimate;
            });
    }
}

}  // namespace
