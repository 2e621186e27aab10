// The window front end where kvhost is built without one (Windows): no window can be shown, so
// kvhost options refuses to run without --script before the module is asked (see Available).
#include "host/kvhost/options_window.h"

namespace kvhost {

bool WindowFrontEnd::Available() { return false; }

bool WindowFrontEnd::Ready(std::string* why) {
    if (why != nullptr) *why = "this kvhost has no window to show the dialog in (use --script)";
    return false;
}

WindowFrontEnd::WindowFrontEnd(std::string screenshotPath) : screenshotPath_(std::move(screenshotPath)) {}
WindowFrontEnd::~WindowFrontEnd() = default;

void WindowFrontEnd::OnShown(std::function<void(QDialog&)> hook) { onShown_ = std::move(hook); }

void WindowFrontEnd::PresentModal(zelui::tamocontracts::UI_TamoDialogBase&) const {
    problem_ = "this kvhost has no window to show the dialog in (use --script)";
}

}  // namespace kvhost
