// The host's dialog suite, the report of a closed dialog and the scripted user.
#include "host/dialogs/dialog_host.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "host/host_environment.h"

namespace host {
namespace {

using zelcore::utility::IntrusivePtr;
namespace ui = zelui::ui;

// The suite's entries are plain functions: the one live DialogSuite keeps their answers here.
struct SuiteState {
    const zelui::drawbot::SupplierInterface* frontEnd = nullptr;
    IntrusivePtr<ui::UI_Node> window;
    int32_t failures[2] = {0, 0};
    bool live = false;
};

SuiteState& Suite() {
    static SuiteState state;
    return state;
}

int32_t GetDrawSupplier(const void** supplier) {
    if (supplier == nullptr) return resultBadParameters;
    *supplier = nullptr;
    if (Suite().failures[0] != 0) return Suite().failures[0];
    *supplier = Suite().frontEnd;
    return 0;
}

int32_t GetParentNode(void** parent) {
    if (parent == nullptr) return resultBadParameters;
    *parent = nullptr;
    if (Suite().failures[1] != 0) return Suite().failures[1];
    *parent = Suite().window.get();
    return 0;
}

ZelSuite zelSuite = {GetDrawSupplier, {0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5}, GetParentNode};

std::string Number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

void Collect(ui::UI_Node& node, std::vector<ControlState>* states) {
    ControlState state;
    state.identifier = node.Identifier();
    state.inactive = node.IsInactive();
    bool control = true;
    if (auto* number = dynamic_cast<ui::UI_HotTextNumber*>(&node)) {
        state.value = Number(number->GetDoubleValue());
    } else if (auto* slider = dynamic_cast<ui::UI_Slider*>(&node)) {
        state.value = Number(slider->GetDoubleValue());
    } else if (auto* popup = dynamic_cast<ui::UI_Popup*>(&node)) {
        state.value = std::to_string(popup->GetValue()) + " (" + popup->ItemText(popup->GetValue()) + ")";
    } else if (auto* group = dynamic_cast<ui::UI_RadioGroup*>(&node)) {
        state.value = std::to_string(group->GetIndex()) + " (" + group->ButtonText(group->GetIndex()) + ")";
    } else {
        control = false;
    }
    if (control) states->push_back(state);
    for (const IntrusivePtr<ui::UI_Node>& child : node.Children()) Collect(*child, states);
}

}  // namespace

DialogSuite::DialogSuite(const zelui::drawbot::SupplierInterface* frontEnd) {
    SuiteState& state = Suite();
    if (state.live) {
        std::fprintf(stderr, "host: one dialog suite at a time\n");
        std::abort();
    }
    state.live = true;
    state.frontEnd = frontEnd;
    state.window = zelcore::utility::MakeCounted<ui::UI_Node>();
    state.window->SetIdentifier("hostWindow");
    state.failures[0] = state.failures[1] = 0;
    HostEnvironment::Instance().OfferSuite(kZelSuiteName, kZelSuiteVersion, &zelSuite);
}

DialogSuite::~DialogSuite() {
    SuiteState& state = Suite();
    HostEnvironment::Instance().OfferSuite(kZelSuiteName, kZelSuiteVersion, nullptr);
    state.window.reset();
    state.frontEnd = nullptr;
    state.live = false;
}

void DialogSuite::FailCall(int which, int32_t error) { Suite().failures[which != 0 ? 1 : 0] = error; }

std::string ControlState::Line() const { return identifier + " " + value + (inactive ? " inactive" : ""); }

std::vector<ControlState> ControlStates(ui::UI_Node& dialog) {
    std::vector<ControlState> states;
    Collect(dialog, &states);
    return states;
}

bool ScriptedUser::Parse(const std::string& text, std::vector<Action>* actions, std::string* error) {
    actions->clear();
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t end = std::min(text.find(';', start), text.size());
        const std::string part = text.substr(start, end - start);
        start = end + 1;
        std::vector<std::string> words;
        std::size_t at = 0;
        while (at < part.size()) {
            while (at < part.size() && std::isspace(static_cast<unsigned char>(part[at]))) ++at;
            const std::size_t begin = at;
            while (at < part.size() && !std::isspace(static_cast<unsigned char>(part[at]))) ++at;
            if (at > begin) words.push_back(part.substr(begin, at - begin));
        }
        if (words.empty()) continue;
        Action action;
        action.verb = words[0];
        std::size_t wanted;
        if (action.verb == "ok" || action.verb == "cancel") wanted = 1;
        else if (action.verb == "end") wanted = 2;
        else if (action.verb == "type" || action.verb == "drag" || action.verb == "choose") wanted = 3;
        else {
            *error = "unknown action '" + part + "' (type, end, drag, choose, ok, cancel)";
            return false;
        }
        if (words.size() != wanted) {
            *error = "'" + part + "' wants " + std::to_string(wanted - 1) + " argument" + (wanted == 2 ? "" : "s");
            return false;
        }
        if (wanted >= 2) action.identifier = words[1];
        if (wanted == 3) {
            char* rest = nullptr;
            action.value = std::strtod(words[2].c_str(), &rest);
            if (rest == words[2].c_str() || *rest != '\0' || !std::isfinite(action.value) ||
                (action.verb == "choose" && action.value != std::floor(action.value))) {
                *error = "'" + part + "': '" + words[2] + "' is no " + (action.verb == "choose" ? "index" : "number");
                return false;
            }
        }
        actions->push_back(action);
    }
    if (actions->empty()) {
        *error = "no actions";
        return false;
    }
    return true;
}

ScriptedUser::ScriptedUser(std::vector<Action> actions) : actions_(std::move(actions)) {}
ScriptedUser::~ScriptedUser() = default;

void ScriptedUser::PresentModal(zelui::tamocontracts::UI_TamoDialogBase& dialog) const {
    shown_ = true;
    problem_.clear();
    for (const Action& action : actions_) {
        if (dialog.IsClosed()) {
            problem_ = "the dialog closed before '" + action.verb + "'";
            break;
        }
        bool done = false;
        if (action.verb == "ok" || action.verb == "cancel") {
            ui::UI_Button* button = action.verb == "ok" ? dialog.OkButton() : dialog.CancelButton();
            done = button != nullptr && button->UserPress();
            if (!done) problem_ = "the dialog has no usable " + action.verb + " button";
        } else {
            ui::UI_Node* node = dialog.Find(action.identifier);
            const std::string name = "'" + action.identifier + "'";
            auto* range = dynamic_cast<ui::UI_RangeControl*>(node);
            if (node == nullptr) {
                problem_ = "the dialog has no control " + name;
            } else if (node->IsInactive()) {
                problem_ = name + " is inactive";
            } else if (action.verb == "type" || action.verb == "end" || action.verb == "drag") {
                const bool fits = action.verb == "drag" ? dynamic_cast<ui::UI_Slider*>(node) != nullptr
                                  : action.verb == "type" ? dynamic_cast<ui::UI_HotTextNumber*>(node) != nullptr
                                                          : range != nullptr;
                if (!fits) {
                    problem_ = name + " cannot be " + (action.verb == "type" ? "typed into" : action.verb == "drag" ? "dragged" : "ended");
                } else if (action.verb == "end") {
                    done = range->UserEnd();
                } else {
                    done = range->UserStep(action.value) && (action.verb == "type" || range->UserEnd());
                }
            } else if (auto* popup = dynamic_cast<ui::UI_Popup*>(node)) {
                done = popup->UserChoose(static_cast<long long>(action.value));
                if (!done) problem_ = name + " has no item " + std::to_string(static_cast<long long>(action.value));
            } else if (auto* group = dynamic_cast<ui::UI_RadioGroup*>(node)) {
                done = group->UserChoose(static_cast<long long>(action.value));
                if (!done) problem_ = name + " has no button " + std::to_string(static_cast<long long>(action.value));
            } else {
                problem_ = name + " cannot be chosen from";
            }
        }
        if (!done) break;
    }
    closed_ = ControlStates(dialog);
    // A user who stops with the dialog still open dismisses it.
    dialog.Close(ui::UI_Dialog::resultCancel);
}

}  // namespace host
