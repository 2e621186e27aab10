// kvhost options: shows the module's "JPEG Options" dialog on the stored options record, as the
// host does when the user asks for the JPEG options, in a window or to a scripted user; prints
// what the controls held when it closed and keeps what the module left in the record.
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "host/dialogs/dialog_host.h"
#include "host/kvhost/options_store.h"
#include "host/kvhost/options_window.h"
#include "host/kvhost/verbs.h"
#include "host/platform.h"
#include "host/zelcore/live_objects.h"

namespace kvhost {
namespace {

int Problem(const std::string& message, int status) {
    std::fprintf(stderr, "kvhost options: %s\n", message.c_str());
    return status;
}

bool HasDisplay() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && value[0] != '\0') return true;
    }
    return false;
}

}  // namespace

int RunOptions(host::PluginModule& module, const std::vector<std::string>& arguments) {
    std::string script, screenshot;
    bool scripted = false;
    for (std::size_t index = 0; index < arguments.size(); ++index) {
        std::string argument = arguments[index];
        std::string value;
        const std::size_t equals = argument.find('=');
        if (argument.rfind("--", 0) == 0 && equals != std::string::npos) {
            value = argument.substr(equals + 1);
            argument = argument.substr(0, equals);
        } else if (argument == "--script" || argument == "--screenshot") {
            if (index + 1 >= arguments.size()) return Problem(argument + " needs a value", exitUsage);
            value = arguments[++index];
        }
        if (argument == "--script") {
            script = value;
            scripted = true;
        } else if (argument == "--screenshot") {
            screenshot = value;
        } else {
            return Problem("unexpected argument '" + argument + "'", exitUsage);
        }
    }
    if (scripted && !screenshot.empty()) return Problem("--script and --screenshot exclude each other", exitUsage);

    std::vector<host::ScriptedUser::Action> actions;
    std::string error;
    if (scripted && !host::ScriptedUser::Parse(script, &actions, &error)) return Problem("--script: " + error, exitUsage);
    if (!scripted && !WindowFrontEnd::Available()) {
        return Problem("this kvhost has no window to show the dialog in (use --script)", exitUsage);
    }
    if (!scripted && !HasDisplay()) {
        if (screenshot.empty()) {
            return Problem("no display to open the window on (set DISPLAY, or use --script)", exitFailed);
        }
        host::platform::SetEnvironment("QT_QPA_PLATFORM", "offscreen");  // a picture needs no screen
    }
    if (!scripted && !WindowFrontEnd::Ready(&error)) return Problem(error, exitFailed);

    host::HostEnvironment& environment = host::HostEnvironment::Instance();
    environment.ResetRecord();
    environment.ResetScripts();
    if (!LoadStoredOptions(environment, &error)) return Problem(error, exitFailed);

    int status = exitOk;
    int16_t result = 0;
    bool shown = false;
    std::vector<host::ControlState> closed;
    std::string problem;
    {
        std::unique_ptr<host::ScriptedUser> user;
        std::unique_ptr<WindowFrontEnd> window;
        const zelui::drawbot::SupplierInterface* frontEnd;
        if (scripted) {
            user = std::make_unique<host::ScriptedUser>(actions);
            frontEnd = user.get();
        } else {
            window = std::make_unique<WindowFrontEnd>(screenshot);
            frontEnd = window.get();
        }
        host::DialogSuite suite(frontEnd);
        module.Call(selectorOptionsPrepare);
        result = module.Call(selectorOptionsStart);
        module.Call(selectorOptionsFinish);
        shown = user ? user->Shown() : window->Shown();
        closed = user ? user->Closed() : window->Closed();
        problem = user ? user->Problem() : window->Problem();
    }

    for (const host::ControlState& control : closed) std::printf("%s\n", control.Line().c_str());
    if (!shown) {
        std::printf("no dialog %d\n", result);
        status = exitFailed;
    } else {
        std::printf("%s %d\n", result == resultOk ? "ok" : result == resultCancelled ? "cancelled" : "failed", result);
        if (result != resultOk && result != resultCancelled) status = exitFailed;
    }
    std::fflush(stdout);
    if (!problem.empty()) {
        Problem(problem, exitFailed);
        status = exitFailed;
    }
    if (!SaveStoredOptions(environment, &error)) status = Problem(error, exitFailed);
    if (!screenshot.empty() && shown && status == exitOk) std::fprintf(stderr, "kvhost options: saved %s\n", screenshot.c_str());

    const zelcore::diagnostics::LiveObjects live = zelcore::diagnostics::CountLiveObjects();
    if (!(live == zelcore::diagnostics::LiveObjects{})) {
        std::fprintf(stderr,
                     "kvhost options: the dialog left toolkit objects alive: %lld counted, %lld weak handles, "
                     "%lld blocks, %lld errors\n",
                     static_cast<long long>(live.counted), static_cast<long long>(live.weakHandles),
                     static_cast<long long>(live.recycledBlocks), static_cast<long long>(live.errors));
        status = exitFailed;
    }
    return status;
}

}  // namespace kvhost
