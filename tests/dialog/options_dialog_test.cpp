// The "JPEG Options" dialog as a user meets it: the real JPEG.kvx asked for its options (selector
// 6) on a stored record, the dialog built by the host's toolkit from the module's own layout
// script and worked by the scripted user. Every test ends with nothing of the toolkit alive, every
// suite given back and every host handle disposed.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "host/dialogs/dialog_host.h"
#include "host/libq/q_library.h"
#include "host/resources/module_resources.h"
#include "host/zelcore/live_objects.h"
#include "host/zelui/resource_override.h"
#include "tests/module/module_test.h"
#include "tests/support/test_support.h"

namespace {

using zelcore::diagnostics::CountLiveObjects;
using zelcore::diagnostics::LiveObjects;
namespace ui = zelui::ui;

// A scripted user who also notes what the dialog showed before the first action.
class WatchingUser : public zelui::drawbot::SupplierInterface {
public:
    explicit WatchingUser(const std::string& actions) {
        std::string error;
        parsed_ = host::ScriptedUser::Parse(actions, &actions_, &error);
        EXPECT_TRUE(parsed_) << error;
    }

    void PresentModal(zelui::tamocontracts::UI_TamoDialogBase& dialog) const override {
        opened = host::ControlStates(dialog);
        ui::UI_Node* label = dialog.Find("scans_label");
        labelInactiveAtOpen = label != nullptr && label->IsInactive();
        host::ScriptedUser user(actions_);
        user.PresentModal(dialog);
        closed = user.Closed();
        problem = user.Problem();
        label = dialog.Find("scans_label");
        labelInactiveAtClose = label != nullptr && label->IsInactive();
        ++shown;
    }

    mutable std::vector<host::ControlState> opened, closed;
    mutable std::string problem;
    mutable bool labelInactiveAtOpen = false, labelInactiveAtClose = false;
    mutable int shown = 0;

private:
    bool parsed_ = false;
    std::vector<host::ScriptedUser::Action> actions_;
};

std::vector<std::string> Lines(const std::vector<host::ControlState>& states) {
    std::vector<std::string> lines;
    for (const host::ControlState& state : states) lines.push_back(state.Line());
    return lines;
}

using testing_support::OptionsRecordBytes;

class OptionsDialogTest : public module_testing::ModuleTest {
protected:
    void TearDown() override {
        zelui::utility::ClearResourceOverrides();
        EXPECT_EQ(Host().AcquiredSuites(), 0) << "the module kept the dialog suite";
        EXPECT_EQ(CountLiveObjects(), LiveObjects{}) << "toolkit objects, weak handles, blocks or errors left alive";
        ModuleTest::TearDown();
    }

    void Store(const std::vector<uint8_t>& bytes) {
        Handle handle = Host().NewHandle(static_cast<int32_t>(bytes.size()));
        std::memcpy(*handle, bytes.data(), bytes.size());
        Record()->persistentData = handle;
    }

    std::vector<uint8_t> Stored() {
        Handle handle = Record()->persistentData;
        if (handle == nullptr) return {};
        const auto* bytes = reinterpret_cast<const uint8_t*>(*handle);
        return std::vector<uint8_t>(bytes, bytes + Host().HandleSize(handle));
    }

    // Shows the dialog on the record to a user acting out actions; answers the result word.
    int16_t Show(WatchingUser& user) {
        host::DialogSuite suite(&user);
        return Call(selectorOptionsStart);
    }
};

// One dialog shown to a user acting out a script.
struct DialogCase {
    std::string actions;
    std::vector<uint8_t> record;       // stored before; empty: the module makes one with the defaults
    int16_t result;
    std::vector<uint8_t> stored;       // the record afterwards
    std::vector<std::string> opened;   // every control as the dialog opened, when given
    std::vector<std::string> closed;   // the first controls (quality, preset, slider, ...) at the end
};

const char* const kStandard = "format_options 0 (Baseline (\u201CStandard\u201D))";

TEST_F(OptionsDialogTest, TheControlsShowTheRecordFollowEachOtherAndOkStoresTheNumber) {
    std::vector<DialogCase> cases = {
        {"cancel", {}, resultCancelled, OptionsRecordBytes(5, 0, 1),
         {"quality 5", "quality_pop 1 (Medium)", "slider 5", kStandard, "scans 0 (3) inactive"}, {}},
        // Values no dialog makes pass through unchanged.
        {"ok", OptionsRecordBytes(-3, 7, 9), resultOk, OptionsRecordBytes(-3, 7, 9),
         {"quality -3", "quality_pop 0 (Low)", "slider -3", "format_options 7 ()", "scans 8 () inactive"}, {}},
        // During the edit the number keeps its fraction; the popup and the slider follow its whole
        // part, and the end of the edit (change message 2) snaps the number.
        {"type quality 7.6; cancel", OptionsRecordBytes(4, 0, 1), resultCancelled, OptionsRecordBytes(4, 0, 1), {},
         {"quality 7.6", "quality_pop 2 (High)", "slider 7"}},
        {"type quality 7.6; end quality; cancel", OptionsRecordBytes(4, 0, 1), resultCancelled,
         OptionsRecordBytes(4, 0, 1), {}, {"quality 7", "quality_pop 2 (High)", "slider 7"}},
        // A slider drag sets the number to the whole part at every step.
        {"drag slider 9.9; cancel", OptionsRecordBytes(4, 0, 1), resultCancelled, OptionsRecordBytes(4, 0, 1), {},
         {"quality 9", "quality_pop 3 (Maximum)", "slider 9.9"}},
        {"type quality 2.9; end quality; cancel", OptionsRecordBytes(4, 0, 1), resultCancelled,
         OptionsRecordBytes(4, 0, 1), {}, {"quality 2", "quality_pop 0 (Low)", "slider 2"}},
        // Typed values stay within the field's range of 0 to 10.
        {"type quality 14; end quality; cancel", OptionsRecordBytes(4, 0, 1), resultCancelled,
         OptionsRecordBytes(4, 0, 1), {}, {"quality 10", "quality_pop 3 (Maximum)", "slider 10"}},
        // Only progressive offers the scans.
        {"choose format_options 2; cancel", {}, resultCancelled, OptionsRecordBytes(5, 0, 1), {},
         {"quality 5", "quality_pop 1 (Medium)", "slider 5", "format_options 2 (Progressive)", "scans 0 (3)"}},
        {"choose format_options 2; choose format_options 1; cancel", {}, resultCancelled, OptionsRecordBytes(5, 0, 1), {},
         {"quality 5", "quality_pop 1 (Medium)", "slider 5", "format_options 1 (Baseline Optimized)", "scans 0 (3) inactive"}},
        {"choose format_options 2; choose format_options 0; cancel", {}, resultCancelled, OptionsRecordBytes(5, 0, 1), {},
         {"quality 5", "quality_pop 1 (Medium)", "slider 5", kStandard, "scans 0 (3) inactive"}},
        // OK stores the number, not the preset (truncated mid-edit); Cancel stores nothing.
        {"type quality 10; end quality; choose format_options 2; choose scans 2; ok", OptionsRecordBytes(3, 1, 2),
         resultOk, OptionsRecordBytes(10, 2, 3), {}, {}},
        {"choose quality_pop 3; type quality 9.5; ok", OptionsRecordBytes(3, 1, 2), resultOk,
         OptionsRecordBytes(9, 1, 2), {}, {}},
        {"choose format_options 2; choose scans 2; type quality 1; end quality; choose quality_pop 2; cancel",
         OptionsRecordBytes(3, 1, 2), resultCancelled, OptionsRecordBytes(3, 1, 2), {}, {}},
    };
    // Each stored quality shows its preset and slider.
    const char* presets[] = {"0 (Low)",    "0 (Low)",  "0 (Low)",  "1 (Medium)",  "1 (Medium)", "1 (Medium)",
                             "2 (High)",   "2 (High)", "3 (Maximum)", "3 (Maximum)", "3 (Maximum)"};
    for (int16_t quality = 0; quality <= 10; ++quality) {
        const std::string q = std::to_string(quality);
        cases.push_back({"cancel", OptionsRecordBytes(quality, 1, 3), resultCancelled, OptionsRecordBytes(quality, 1, 3),
                         {"quality " + q, std::string("quality_pop ") + presets[quality], "slider " + q,
                          "format_options 1 (Baseline Optimized)", "scans 2 (5) inactive"},
                         {}});
    }
    // Each preset sets its quality, and OK stores it.
    const int16_t qualities[4] = {1, 3, 6, 8};
    const char* names[4] = {"Low", "Medium", "High", "Maximum"};
    for (int16_t start : {0, 2, 10}) {
        for (int preset = 0; preset < 4; ++preset) {
            const std::string q = std::to_string(qualities[preset]);
            cases.push_back({"choose quality_pop " + std::to_string(preset) + "; ok", OptionsRecordBytes(start, 0, 1),
                             resultOk, OptionsRecordBytes(qualities[preset], 0, 1), {},
                             {"quality " + q, "quality_pop " + std::to_string(preset) + " (" + names[preset] + ")",
                              "slider " + q}});
        }
    }
    for (const DialogCase& test : cases) {
        SCOPED_TRACE(::testing::Message() << test.actions << " on a record of " << test.record.size() << " bytes");
        if (!test.record.empty()) Store(test.record);
        WatchingUser user(test.actions);
        EXPECT_EQ(Show(user), test.result);
        EXPECT_EQ(user.problem, "");
        ASSERT_EQ(user.opened.size(), 5u);
        ASSERT_EQ(user.closed.size(), 5u);
        EXPECT_TRUE(test.opened.empty() || Lines(user.opened) == test.opened) << ::testing::PrintToString(Lines(user.opened));
        for (std::size_t i = 0; i < test.closed.size(); ++i) EXPECT_EQ(user.closed[i].Line(), test.closed[i]);
        // The scans' label is unavailable exactly when the scans are.
        EXPECT_EQ(user.labelInactiveAtOpen, user.opened[4].inactive);
        EXPECT_EQ(user.labelInactiveAtClose, user.closed[4].inactive);
        EXPECT_EQ(Stored(), test.stored);
        Host().DisposeHandle(Record()->persistentData);
        Record()->persistentData = nullptr;
    }
}

TEST_F(OptionsDialogTest, AHostWithoutTheSuiteGetsNoDialogAndAnUnchangedRecord) {
    const std::vector<uint8_t> record = OptionsRecordBytes(8, 2, 3);
    {
        Store(record);
        WatchingUser user("ok");
        Host().RefuseSuites(true);
        EXPECT_EQ(Show(user), resultOk);
        EXPECT_EQ(user.shown, 0);
        EXPECT_EQ(Stored(), record);
        Host().RefuseSuites(false);
    }
    {
        // No suite offered at all.
        EXPECT_EQ(Call(selectorOptionsStart), resultOk);
        EXPECT_EQ(Stored(), record);
    }
    for (int which : {0, 1}) {
        // The suite is there but one of its calls fails: the error is thrown, swallowed, and the
        // suite still given back.
        WatchingUser user("ok");
        host::DialogSuite suite(&user);
        suite.FailCall(which, -108);
        EXPECT_EQ(Call(selectorOptionsStart), resultOk);
        EXPECT_EQ(user.shown, 0);
        EXPECT_EQ(Stored(), record);
    }
}

TEST_F(OptionsDialogTest, LayoutsWithTheWrongControlsStopSetupWithTheConversionError) {
    // The module's own script, read from the module file, with one fault put in and shown to the
    // module through the host's layout folder.
    const struct {
        const char* name;
        std::string from, to;
    } faults[] = {
        {"quality is a slider", "inline_edit_number(name: \"$$$/KV/Dialogs/JpegOptions/Quality=Quality:\", identifier: 'quality', min_value: 0, max_value: 10, hottextNumberAlignmentFix: true);",
         "slider(identifier: 'quality', min_value: 0, max_value: 10);"},
        {"no format_options", "radiogroup(identifier: 'format_options', ", "radiogroup("},
    };
    const std::string original = module_testing::ModuleScript();
    ASSERT_NE(original.find("layout zeltamo_dialog"), std::string::npos);
    for (const auto& fault : faults) {
        std::string faulty = original;
        const std::size_t at = faulty.find(fault.from);
        ASSERT_NE(at, std::string::npos) << fault.name;
        faulty.replace(at, fault.from.size(), fault.to);
        zelui::utility::OverrideResource("TAMO", "JPEGOPTIONS.ZOPA", faulty);

        Store(OptionsRecordBytes(6, 2, 1));
        const int32_t reportedBefore = Q_ReportedExceptionCount();
        WatchingUser user("ok");
        testing::internal::CaptureStderr();
        EXPECT_EQ(Show(user), resultOk) << fault.name;
        const std::string reported = testing::internal::GetCapturedStderr();
        EXPECT_EQ(Q_ReportedExceptionCount(), reportedBefore + 1) << fault.name;
        EXPECT_NE(reported.find("Invalid type conversion."), std::string::npos) << reported;
        EXPECT_EQ(user.shown, 0) << "SetupView failed before the dialog was shown";
        EXPECT_EQ(Stored(), OptionsRecordBytes(6, 2, 1)) << "the options are big-endian again: " << fault.name;
        EXPECT_EQ(CountLiveObjects(), LiveObjects{}) << fault.name;
        Host().DisposeHandle(Record()->persistentData);
        Record()->persistentData = nullptr;
    }
}

}  // namespace
