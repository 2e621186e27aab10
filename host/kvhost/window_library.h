// What passes between kvhost and its window library (kvhost-window.so), the Qt front end that
// kvhost loads only when it shows a window, so that the other verbs start without Qt. The library
// exports one function, kShowWindowName, of type ShowWindowProc; kvhost and the library are built
// together and share the C++ runtime and the UI toolkit's libraries.
#pragma once

#include <exception>
#include <functional>
#include <string>

#include "dialog/toolkit/zelui.h"

class QDialog;

namespace kvhost {

// One dialog to show modally until OK or Cancel.
struct WindowRequest {
    zelui::tamocontracts::UI_TamoDialogBase* dialog = nullptr;
    // Not empty: the window is saved as a PNG picture as it first appears, then dismissed.
    std::string screenshotPath;
    // Called once the window is up, inside its modal loop (tests drive the window from it).
    std::function<void(QDialog&)> onShown;
};

// What became of it; the dialog itself holds the controls' values.
struct WindowOutcome {
    std::string problem;        // a picture that could not be saved
    std::exception_ptr failure; // an error raised by the module's handlers while the window was up
};

using ShowWindowProc = void (*)(const WindowRequest& request, WindowOutcome* outcome);
inline constexpr char kShowWindowName[] = "KvhostShowWindow";

// The library's file name, looked for beside the program and, installed, in PREFIX/lib/kvhost;
// the KVHOST_WINDOW_LIBRARY environment variable names another file.
inline constexpr char kWindowLibraryName[] = "kvhost-window.so";
inline constexpr char kWindowLibraryVariable[] = "KVHOST_WINDOW_LIBRARY";

}  // namespace kvhost
