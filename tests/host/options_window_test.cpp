// The window front end under Qt's offscreen platform, driven with keys and mouse clicks through
// the real JPEG.kvx: the scans become available with Progressive, Escape cancels, Enter confirms
// what was typed and chosen.
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QRadioButton>
#include <QTest>
#include <cstdlib>
#include <cstring>

#include "host/kvhost/options_window.h"
#include "host/zelcore/live_objects.h"
#include "tests/module/module_test.h"

namespace {

using zelcore::diagnostics::CountLiveObjects;
using zelcore::diagnostics::LiveObjects;

class OptionsWindowTest : public module_testing::ModuleTest {
protected:
    void TearDown() override {
        EXPECT_EQ(CountLiveObjects(), LiveObjects{});
        EXPECT_EQ(Host().AcquiredSuites(), 0);
        ModuleTest::TearDown();
    }

    // Shows the dialog on a default record in the window; hook drives it once it is up.
    int16_t Show(kvhost::WindowFrontEnd& window, std::function<void(QDialog&)> hook) {
        window.OnShown(std::move(hook));
        host::DialogSuite suite(&window);
        return Call(selectorOptionsStart);
    }

    std::vector<uint8_t> StoredOptions() {
        const auto* bytes = reinterpret_cast<const uint8_t*>(*Record()->persistentData);
        return std::vector<uint8_t>(bytes + 22, bytes + 28);
    }
};

template <class Widget>
Widget* Find(QDialog& window, const char* name) {
    auto* widget = window.findChild<Widget*>(name);
    EXPECT_NE(widget, nullptr) << name;
    return widget;
}

TEST_F(OptionsWindowTest, ProgressiveOffersTheScansAndEscapeCancels) {
    kvhost::WindowFrontEnd window;
    bool driven = false;
    const int16_t result = Show(window, [&](QDialog& dialog) {
        EXPECT_EQ(dialog.windowTitle(), "JPEG Options");
        auto* scans = Find<QComboBox>(dialog, "scans");
        auto* label = Find<QLabel>(dialog, "scans_label");
        auto* progressive = Find<QRadioButton>(dialog, "format_options/2");
        auto* baseline = Find<QRadioButton>(dialog, "format_options/0");
        if (scans == nullptr || label == nullptr || progressive == nullptr || baseline == nullptr) {
            dialog.reject();
            return;
        }
        EXPECT_TRUE(baseline->isChecked());
        EXPECT_EQ(baseline->text(), QString::fromUtf8("Baseline (\u201CStandard\u201D)"));
        EXPECT_FALSE(scans->isEnabled());
        EXPECT_FALSE(label->isEnabled());
        QTest::mouseClick(progressive, Qt::LeftButton);
        EXPECT_TRUE(progressive->isChecked());
        EXPECT_TRUE(scans->isEnabled());
        EXPECT_TRUE(label->isEnabled());
        driven = true;
        QTest::keyClick(&dialog, Qt::Key_Escape);
    });
    EXPECT_TRUE(driven);
    EXPECT_EQ(result, resultCancelled);
    EXPECT_EQ(window.Closed().at(3).Line(), "format_options 2 (Progressive)") << "the window passed the click on";
    EXPECT_EQ(StoredOptions(), (std::vector<uint8_t>{0, 5, 0, 0, 0, 1})) << "Escape stores nothing";
}

TEST_F(OptionsWindowTest, EnterConfirmsWhatWasTypedAndChosen) {
    kvhost::WindowFrontEnd window;
    const int16_t result = Show(window, [&](QDialog& dialog) {
        auto* quality = Find<QDoubleSpinBox>(dialog, "quality");
        auto* preset = Find<QComboBox>(dialog, "quality_pop");
        auto* scans = Find<QComboBox>(dialog, "scans");
        auto* progressive = Find<QRadioButton>(dialog, "format_options/2");
        if (quality == nullptr || preset == nullptr || scans == nullptr || progressive == nullptr) {
            dialog.reject();
            return;
        }
        QTest::mouseClick(progressive, Qt::LeftButton);
        scans->setFocus();
        QTest::keyClick(scans, Qt::Key_Down);
        EXPECT_EQ(scans->currentText(), "4");
        quality->setFocus();
        quality->selectAll();
        QTest::keyClicks(quality, "9");
        EXPECT_EQ(preset->currentText(), "Maximum") << "the popup follows the typing";
        QTest::keyClick(quality, Qt::Key_Return);
    });
    EXPECT_EQ(result, resultOk);
    EXPECT_EQ(StoredOptions(), (std::vector<uint8_t>{0, 9, 0, 2, 0, 2}));
}

}  // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
