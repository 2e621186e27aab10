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

// The layout script the module carries, read from its file by the host's resource reader.
std::string ModuleScript() {
    host::ModuleResources resources;
    std::vector<uint8_t> bytes;
    if (!resources.Open(host::DefaultModulePath()) ||
        !resources.Load("TAMO", "JPEGOPTIONS.ZOPA", host::kAnyLanguage, &bytes)) {
        return std::string();
    }
    return std::string(bytes.begin(), bytes.end());
}

std::vector<std::string> Lines(const std::vector<host::ControlState>& states) {
    std::vector<std::string> lines;
    for (const host::ControlState& state : states) lines.push_back(state.Line());
    return lines;
}

// The record as the host stores it: "JP64", cleared run state, big-endian options.
std::vector<uint8_t> RecordBytes(int16_t quality, int16_t format, int16_t scans) {
    std::vector<uint8_t> bytes(28, 0);
    std::memcpy(bytes.data(), "JP64", 4);
    const int16_t options[3] = {quality, format, scans};
    for (int i = 0; i < 3; ++i) {
        bytes[22 + 2 * i] = static_cast<uint8_t>(static_cast<uint16_t>(options[i]) >> 8);
        bytes[23 + 2 * i] = static_cast<uint8_t>(options[i] & 0xFF);
    }
    return bytes;
}

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

TEST_F(OptionsDialogTest, DefaultRecordShowsMediumBaselineAndUnavailableScans) {
    WatchingUser user("cancel");
    EXPECT_EQ(Show(user), resultCancelled);
    EXPECT_EQ(Lines(user.opened), (std::vector<std::string>{"quality 5", "quality_pop 1 (Medium)", "slider 5",
                                                              "format_options 0 (Baseline (\u201CStandard\u201D))",
                                                              "scans 0 (3) inactive"}));
    EXPECT_TRUE(user.labelInactiveAtOpen);
    EXPECT_EQ(Stored(), RecordBytes(5, 0, 1)) << "the record made with the defaults, unchanged by Cancel";
}

TEST_F(OptionsDialogTest, EachStoredQualityShowsItsPresetAndSlider) {
    const char* presets[] = {"0 (Low)", "0 (Low)",  "0 (Low)",  "1 (Medium)", "1 (Medium)", "1 (Medium)",
                             "2 (High)", "2 (High)", "3 (Maximum)", "3 (Maximum)", "3 (Maximum)"};
    for (int16_t quality = 0; quality <= 10; ++quality) {
        Store(RecordBytes(quality, 1, 3));
        WatchingUser user("cancel");
        EXPECT_EQ(Show(user), resultCancelled);
        const std::string q = std::to_string(quality);
        EXPECT_EQ(Lines(user.opened), (std::vector<std::string>{"quality " + q, std::string("quality_pop ") + presets[quality],
                                                                  "slider " + q, "format_options 1 (Baseline Optimized)",
                                                                  "scans 2 (5) inactive"}))
            << "quality " << quality;
        EXPECT_EQ(Stored(), RecordBytes(quality, 1, 3));
        Host().DisposeHandle(Record()->persistentData);
        Record()->persistentData = nullptr;
    }
}

TEST_F(OptionsDialogTest, EachPresetSetsItsQualityAndOkStoresIt) {
    const int16_t qualities[4] = {1, 3, 6, 8};
    for (int16_t start : {0, 2, 10}) {
        for (int preset = 0; preset < 4; ++preset) {
            Store(RecordBytes(start, 0, 1));
            WatchingUser user("choose quality_pop " + std::to_string(preset) + "; ok");
            EXPECT_EQ(Show(user), resultOk);
            const std::string q = std::to_string(qualities[preset]);
            EXPECT_EQ(user.closed[0].Line(), "quality " + q);
            EXPECT_EQ(user.closed[2].Line(), "slider " + q);
            EXPECT_EQ(Stored(), RecordBytes(qualities[preset], 0, 1)) << "from " << start << ", preset " << preset;
            Host().DisposeHandle(Record()->persistentData);
            Record()->persistentData = nullptr;
        }
    }
}

TEST_F(OptionsDialogTest, TypingDraggingAndTheEndOfAnEdit) {
    struct Case {
        const char* actions;
        std::vector<std::string> closed;  // quality, preset, slider
    } cases[] = {
        // During the edit the number keeps its fraction; the popup and the slider follow its whole part.
        {"type quality 7.6; cancel", {"quality 7.6", "quality_pop 2 (High)", "slider 7"}},
        // The end of the edit (change message 2) snaps the number.
        {"type quality 7.6; end quality; cancel", {"quality 7", "quality_pop 2 (High)", "slider 7"}},
        // A slider drag sets the number to the whole part at every step.
        {"drag slider 9.9; cancel", {"quality 9", "quality_pop 3 (Maximum)", "slider 9.9"}},
        {"type quality 2.9; end quality; cancel", {"quality 2", "quality_pop 0 (Low)", "slider 2"}},
        // Typed values stay within the field's range of 0 to 10.
        {"type quality 14; end quality; cancel", {"quality 10", "quality_pop 3 (Maximum)", "slider 10"}},
    };
    for (const Case& test : cases) {
        Store(RecordBytes(4, 0, 1));
        WatchingUser user(test.actions);
        EXPECT_EQ(Show(user), resultCancelled);
        ASSERT_EQ(user.closed.size(), 5u);
        EXPECT_EQ(Lines(user.closed).at(0), test.closed[0]) << test.actions;
        EXPECT_EQ(Lines(user.closed).at(1), test.closed[1]) << test.actions;
        EXPECT_EQ(Lines(user.closed).at(2), test.closed[2]) << test.actions;
        EXPECT_EQ(Stored(), RecordBytes(4, 0, 1)) << "Cancel keeps the record: " << test.actions;
        Host().DisposeHandle(Record()->persistentData);
        Record()->persistentData = nullptr;
    }
}

TEST_F(OptionsDialogTest, OnlyProgressiveOffersTheScans) {
    struct Case {
        const char* actions;
        bool inactive;
    } cases[] = {
        {"choose format_options 2; cancel", false},
        {"choose format_options 2; choose format_options 1; cancel", true},
        {"choose format_options 2; choose format_options 0; cancel", true},
    };
    for (const Case& test : cases) {
        WatchingUser user(test.actions);
        EXPECT_EQ(Show(user), resultCancelled);
        EXPECT_EQ(user.closed.at(4).inactive, test.inactive) << test.actions;
        EXPECT_EQ(user.labelInactiveAtClose, test.inactive) << test.actions;
    }
    // The user cannot choose the scans while they are unavailable.
    WatchingUser user("choose scans 2; ok");
    EXPECT_EQ(Show(user), resultCancelled);
    EXPECT_EQ(user.problem, "'scans' is inactive");
}

TEST_F(OptionsDialogTest, OkStoresTheNumberNotThePresetAndCancelStoresNothing) {
    struct Case {
        const char* actions;
        int16_t result;
        std::vector<uint8_t> stored;
    } cases[] = {
        {"choose format_options 2; choose scans 1; type quality 7.6; end quality; ok", resultOk, RecordBytes(7, 2, 2)},
        {"type quality 10; end quality; choose format_options 2; choose scans 2; ok", resultOk, RecordBytes(10, 2, 3)},
        // The popup says Maximum (8) but the number, 9.5 mid-edit, is what OK stores, truncated.
        {"choose quality_pop 3; type quality 9.5; ok", resultOk, RecordBytes(9, 1, 2)},
        {"choose format_options 2; choose scans 2; type quality 1; end quality; choose quality_pop 2; cancel",
         resultCancelled, RecordBytes(3, 1, 2)},
    };
    for (const Case& test : cases) {
        Store(RecordBytes(3, 1, 2));
        WatchingUser user(test.actions);
        EXPECT_EQ(Show(user), test.result) << test.actions;
        EXPECT_TRUE(user.problem.empty()) << user.problem;
        EXPECT_EQ(Stored(), test.stored) << test.actions;
        Host().DisposeHandle(Record()->persistentData);
        Record()->persistentData = nullptr;
    }
}

TEST_F(OptionsDialogTest, OutOfRangeRecordValuesPassThroughUnchanged) {
    Store(RecordBytes(-3, 7, 9));
    WatchingUser user("ok");
    EXPECT_EQ(Show(user), resultOk);
    EXPECT_EQ(Lines(user.opened), (std::vector<std::string>{"quality -3", "quality_pop 0 (Low)", "slider -3",
                                                              "format_options 7 ()", "scans 8 () inactive"}));
    EXPECT_EQ(Stored(), RecordBytes(-3, 7, 9));
}

TEST_F(OptionsDialogTest, AHostWithoutTheSuiteGetsNoDialogAndAnUnchangedRecord) {
    const std::vector<uint8_t> record = RecordBytes(8, 2, 3);
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
    const std::string original = ModuleScript();
    ASSERT_NE(original.find("layout zeltamo_dialog"), std::string::npos);
    for (const auto& fault : faults) {
        std::string faulty = original;
        const std::size_t at = faulty.find(fault.from);
        ASSERT_NE(at, std::string::npos) << fault.name;
        faulty.replace(at, fault.from.size(), fault.to);
        zelui::utility::OverrideResource("TAMO", "JPEGOPTIONS.ZOPA", faulty);

        Store(RecordBytes(6, 2, 1));
        const int32_t reportedBefore = Q_ReportedExceptionCount();
        WatchingUser user("ok");
        testing::internal::CaptureStderr();
        EXPECT_EQ(Show(user), resultOk) << fault.name;
        const std::string reported = testing::internal::GetCapturedStderr();
        EXPECT_EQ(Q_ReportedExceptionCount(), reportedBefore + 1) << fault.name;
        EXPECT_NE(reported.find("Invalid type conversion."), std::string::npos) << reported;
        EXPECT_EQ(user.shown, 0) << "SetupView failed before the dialog was shown";
        EXPECT_EQ(Stored(), RecordBytes(6, 2, 1)) << "the options are big-endian again: " << fault.name;
        EXPECT_EQ(CountLiveObjects(), LiveObjects{}) << fault.name;
        Host().DisposeHandle(Record()->persistentData);
        Record()->persistentData = nullptr;
    }
}

}  // namespace
