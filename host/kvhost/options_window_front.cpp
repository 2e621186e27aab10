// The window front end as kvhost and the tests hold it: loads the window library the first time a
// window is wanted and hands it each dialog. The library stays loaded until the process ends (Qt
// cannot be unloaded cleanly).
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "host/kvhost/options_window.h"
#include "host/kvhost/window_library.h"
#include "host/platform.h"

namespace kvhost {
namespace {

// Where the library is: named by the environment, else beside the program (the build folder),
// else in PREFIX/lib/kvhost when the program is PREFIX/bin/kvhost.
std::string WindowLibraryPath() {
    const char* chosen = std::getenv(kWindowLibraryVariable);
    if (chosen != nullptr && *chosen != '\0') return chosen;
    const std::string self = host::platform::ProgramPath();
    std::size_t slash = self.size();
    while (slash > 0 && !host::platform::IsSeparator(self[slash - 1])) --slash;
    const std::string folder = self.substr(0, slash);
    const std::string beside = folder + kWindowLibraryName;
    const std::string installed = folder + "../lib/kvhost/" + kWindowLibraryName;
    std::error_code ignored;
    if (!std::filesystem::exists(beside, ignored) && std::filesystem::exists(installed, ignored)) return installed;
    return beside;
}

struct WindowLibrary {
    ShowWindowProc show = nullptr;
    std::string problem;
};

const WindowLibrary& Library() {
    static const WindowLibrary library = [] {
        WindowLibrary loaded;
        const std::string path = WindowLibraryPath();
        std::string why;
        void* handle = host::platform::LoadModuleLibrary(path, &why);
        if (handle == nullptr) {
            loaded.problem = "the window library cannot be loaded: " + why;
            return loaded;
        }
        loaded.show = reinterpret_cast<ShowWindowProc>(host::platform::ModuleFunction(handle, kShowWindowName));
        if (loaded.show == nullptr) {
            loaded.problem = path + " is no window library (it has no " + kShowWindowName + ")";
            host::platform::FreeModuleLibrary(handle);
        }
        return loaded;
    }();
    return library;
}

}  // namespace

bool WindowFrontEnd::Available() { return true; }

bool WindowFrontEnd::Ready(std::string* why) {
    const WindowLibrary& library = Library();
    if (library.show == nullptr && why != nullptr) *why = library.problem;
    return library.show != nullptr;
}

WindowFrontEnd::WindowFrontEnd(std::string screenshotPath) : screenshotPath_(std::move(screenshotPath)) {}
WindowFrontEnd::~WindowFrontEnd() = default;

void WindowFrontEnd::OnShown(std::function<void(QDialog&)> hook) { onShown_ = std::move(hook); }

void WindowFrontEnd::PresentModal(zelui::tamocontracts::UI_TamoDialogBase& dialog) const {
    shown_ = true;
    problem_.clear();
    WindowOutcome outcome;
    if (Ready(&problem_)) {
        WindowRequest request;
        request.dialog = &dialog;
        request.screenshotPath = screenshotPath_;
        request.onShown = onShown_;
        Library().show(request, &outcome);
        problem_ = outcome.problem;
    }
    if (!dialog.IsClosed()) dialog.Close(zelui::ui::UI_Dialog::resultCancel);
    closed_ = host::ControlStates(dialog);
    if (outcome.failure) std::rethrow_exception(outcome.failure);
}

}  // namespace kvhost
