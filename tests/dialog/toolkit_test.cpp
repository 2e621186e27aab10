// The dialog class on the host's toolkit without the host: a bound handler after the dialog is
// gone, the null-pointer error of an unset control, and the layout-script parser on every cut of
// the module's own script and on broken scripts.
#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "dialog/dialog_jpeg_options.h"
#include "host/host_environment.h"
#include "host/zelcore/live_objects.h"
#include "host/zeltamofactory/tamo_script.h"
#include "tests/module/module_test.h"

namespace {

using zelcore::diagnostics::CountLiveObjects;
using zelcore::diagnostics::LiveObjects;
using zelcore::utility::IntrusivePtr;
namespace ui = zelui::ui;

using module_testing::ModuleScript;

zelcore::ByteString Name(const char* text) {
    return zelcore::ByteString(reinterpret_cast<const unsigned char*>(text),
                               reinterpret_cast<const unsigned char*>(text) + std::strlen(text));
}

class ToolkitTest : public ::testing::Test {
protected:
    void TearDown() override {
        EXPECT_EQ(CountLiveObjects(), LiveObjects{}) << "toolkit objects, weak handles, blocks or errors left alive";
    }
};

// A user who keeps the quality controls after the dialog has closed, as a careless host might.
class KeepingUser : public zelui::drawbot::SupplierInterface {
public:
    void PresentModal(zelui::tamocontracts::UI_TamoDialogBase& dialog) const override {
        popup = IntrusivePtr<ui::UI_Popup>(dynamic_cast<ui::UI_Popup*>(dialog.Find("quality_pop")));
        number = IntrusivePtr<ui::UI_HotTextNumber>(dynamic_cast<ui::UI_HotTextNumber*>(dialog.Find("quality")));
        ASSERT_TRUE(popup && number);
        // While the dialog lives, the popup's handler sets the number.
        ASSERT_TRUE(popup->UserChoose(3));
        EXPECT_EQ(number->GetDoubleValue(), 8.0);
        dialog.CancelButton()->UserPress();
    }
    mutable IntrusivePtr<ui::UI_Popup> popup;
    mutable IntrusivePtr<ui::UI_HotTextNumber> number;
};

TEST_F(ToolkitTest, AHandlerFiredAfterTheDialogIsGoneIsDropped) {
    const std::string script = ModuleScript();
    ASSERT_FALSE(script.empty());
    KeepingUser user;
    int16_t options[3] = {5, 0, 1};
    auto* dialog = new DialogJPEGOptions(Name("JpegOptions"), &user, nullptr, options);
    dialog->AddRefCount();
    const auto handle = dialog->GetWeakHandle();
    std::stringstream stream(script);
    dialog->ParseTamoScript(stream);
    EXPECT_TRUE(zelcore::utility::RefCountedObjectWithWeakPtr::Lock(handle));
    dialog->ReleaseRefCount();
    EXPECT_FALSE(zelcore::utility::RefCountedObjectWithWeakPtr::Lock(handle)) << "the dialog is gone";

    // The popup outlives its dialog; its bound handler must not reach the freed dialog (the
    // sanitizer build would report it) and changes nothing.
    ASSERT_TRUE(user.popup->UserChoose(0));
    EXPECT_EQ(user.number->GetDoubleValue(), 8.0);
    const int16_t unchanged[3] = {5, 0, 1};
    EXPECT_EQ(std::memcmp(options, unchanged, sizeof options), 0);
    user.popup.reset();
    user.number.reset();
}

TEST_F(ToolkitTest, StoringBeforeSetupRaisesTheNullPointerErrorOfTheControl) {
    int16_t options[3] = {5, 0, 1};
    IntrusivePtr<DialogJPEGOptions> dialog(new DialogJPEGOptions(Name("JpegOptions"), nullptr, nullptr, options));
    try {
        dialog->StoreOptions();
        ADD_FAILURE() << "StoreOptions without controls returned";
    } catch (const zelcore::config::NullPtrError& error) {
        EXPECT_NE(std::string(error.what()).find("zelui::ui::UI_HotTextNumber"), std::string::npos) << error.what();
    }
}

TEST_F(ToolkitTest, EveryCutOfTheScriptIsRefusedAndTheWholeBuildsEveryControl) {
    const std::string script = ModuleScript();
    ASSERT_FALSE(script.empty());
    for (std::size_t length = 0; length < script.size(); ++length) {
        // Cuts that end in blanks after the last brace do not exist: the text ends in "}\r\n".
        if (length >= script.size() - 2) break;
        try {
            zeltamofactory::BuildTamoDialog(zeltamofactory::ParseTamoText(script.substr(0, length)));
            ADD_FAILURE() << "a script cut after " << length << " bytes was taken";
        } catch (const zelcore::config::Error& error) {
            EXPECT_EQ(std::string(error.Key()), "$$$/zeltamofactory/Error/LayoutScript");
        }
    }
    IntrusivePtr<zelui::tamocontracts::UI_TamoDialogBase> dialog =
        zeltamofactory::BuildTamoDialog(zeltamofactory::ParseTamoText(script));
    // The controls and their texts are checked where the dialog is shown (options_dialog_test.cpp).
    EXPECT_EQ(dialog->Text(), "JPEG Options");
    EXPECT_EQ(dialog->TextKey(), "$$$/KV/Dialogs/JpegOptions");
    EXPECT_EQ(dialog->Find("scans_label")->Text(), "Scans:");
    auto* slider = dynamic_cast<ui::UI_Slider*>(dialog->Find("slider"));
    ASSERT_NE(slider, nullptr);
    EXPECT_EQ(slider->Maximum(), 10.0);
    EXPECT_EQ(slider->Hint("minLength"), "300");
}

TEST_F(ToolkitTest, BrokenScriptsNameTheirLine) {
    const struct {
        const char* script;
        const char* message;
    } cases[] = {
        {"layout zeltamo_dialog\n{\n\tview dialog(name: \"x)\n\t{\n\t}\n}\n", "Layout script, line 3: a string is not closed"},
        {"layout zeltamo_dialog\n{\n\tview dialog()\n\t{\n\t\tknob();\n\t}\n}\n", "Layout script, line 5: unknown element 'knob'"},
        {"layout zeltamo_dialog\n{\n\tview dialog()\n\t{\n\t\tpopup(identifier: 'a');\n\t\tpopup(identifier: 'a');\n\t}\n}\n",
         "Layout script, line 6: the identifier 'a' is given twice"},
        {"layout zeltamo_dialog\n{\n\tview dialog(name: \"#{bdquo}\")\n\t{\n\t}\n}\n", "Layout script, line 3: unknown escape #{bdquo}"},
        {"layout zeltamo_dialog\n{\n\tview dialog()\n\t{\n\t\tslider(min_value: 10, max_value: 0);\n\t}\n}\n",
         "Layout script, line 5: 'slider' needs numbers min_value <= max_value"},
        {"", "Layout script, line 1: the script must be one 'layout zeltamo_dialog' block"},
    };
    for (const auto& test : cases) {
        try {
            zeltamofactory::BuildTamoDialog(zeltamofactory::ParseTamoText(test.script));
            ADD_FAILURE() << "taken: " << test.script;
        } catch (const zelcore::config::Error& error) {
            EXPECT_STREQ(error.what(), test.message);
        }
    }
    // Deep nesting is refused, not followed down the stack.
    std::string deep = "layout zeltamo_dialog {\nview dialog() {\n";
    for (int i = 0; i < 100000; ++i) deep += "row() {";
    try {
        zeltamofactory::ParseTamoText(deep);
        ADD_FAILURE() << "100000 nested rows were taken";
    } catch (const zelcore::config::Error& error) {
        EXPECT_NE(std::string(error.what()).find("nested too deeply"), std::string::npos);
    }
}

}  // namespace
