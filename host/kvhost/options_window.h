// The window front end: shows a layout-script dialog of the module to a person as a Qt window
// built from the dialog's node tree, and runs it modally until OK or Cancel. The window itself is
// in the window library (window_library.h), loaded when the first window is wanted, so that
// kvhost does not load Qt for anything else. The module knows nothing of it; it only sees the
// host's draw supplier.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "dialog/toolkit/zelui.h"
#include "host/dialogs/dialog_host.h"

class QDialog;

namespace kvhost {

class WindowFrontEnd : public zelui::drawbot::SupplierInterface {
public:
    // With a screenshot path the window is saved as a PNG picture as it first appears, then
    // dismissed.
    explicit WindowFrontEnd(std::string screenshotPath = std::string());
    // Whether this kvhost has a window front end at all (the Windows build has none).
    static bool Available();
    // Whether a window can be shown: loads the window library once; *why says why not.
    static bool Ready(std::string* why);
    ~WindowFrontEnd() override;

    void PresentModal(zelui::tamocontracts::UI_TamoDialogBase& dialog) const override;

    // Called once the window is up, inside its modal loop (tests drive the window from here).
    void OnShown(std::function<void(QDialog& window)> hook);

    bool Shown() const { return shown_; }
    const std::vector<host::ControlState>& Closed() const { return closed_; }
    const std::string& Problem() const { return problem_; }

private:
    std::string screenshotPath_;
    std::function<void(QDialog&)> onShown_;
    mutable bool shown_ = false;
    mutable std::vector<host::ControlState> closed_;
    mutable std::string problem_;
};

}  // namespace kvhost
