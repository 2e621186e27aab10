// The host's side of the module's dialogs: the "KV ZEL Suite" offered through the basic suite (the
// front end a dialog is shown on and the node that parents it), what a closed dialog's controls
// held, and the scripted user, the front end for tests and scripts.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "dialog/toolkit/zelui.h"

namespace host {

// Offers "KV ZEL Suite" version 1 while it lives: getDrawSupplier answers the front end,
// getParentNode the host's window node. The suite is withdrawn and the node released when it goes.
class DialogSuite {
public:
    explicit DialogSuite(const zelui::drawbot::SupplierInterface* frontEnd);
    ~DialogSuite();
    DialogSuite(const DialogSuite&) = delete;
    DialogSuite& operator=(const DialogSuite&) = delete;

    // Makes getDrawSupplier (which 0) or getParentNode (which 1) answer error instead; 0 heals.
    void FailCall(int which, int32_t error);
};

// One control of a closed dialog as the toolkit held it.
struct ControlState {
    std::string identifier;
    std::string value;  // "7", "7.6"; a popup's or radio group's index and its item: "2 (High)"
    bool inactive = false;
    std::string Line() const;  // "scans 0 (3) inactive"
};

// The value controls of a dialog (number fields, sliders, popups, radio groups) in layout order.
std::vector<ControlState> ControlStates(zelui::ui::UI_Node& dialog);

// A user that acts from a list of actions separated by ";":
//   type ID VALUE   one step of typing into a number field
//   end ID          ends the edit of a number field or the drag of a slider (change message 2)
//   drag ID VALUE   drags a slider to VALUE and lets go
//   choose ID N     chooses item N of a popup or button N of a radio group
//   ok | cancel     presses the dialog's OK or Cancel button
class ScriptedUser : public zelui::drawbot::SupplierInterface {
public:
    struct Action {
        std::string verb;
        std::string identifier;
        double value = 0;
    };

    // Parses the actions; false with *error saying which one is wrong.
    static bool Parse(const std::string& text, std::vector<Action>* actions, std::string* error);

    explicit ScriptedUser(std::vector<Action> actions);
    ~ScriptedUser() override;

    // Runs the actions on the dialog; an action the dialog does not allow (an unknown or inactive
    // control, an item it lacks) stops the user, who then dismisses the dialog.
    void PresentModal(zelui::tamocontracts::UI_TamoDialogBase& dialog) const override;

    bool Shown() const { return shown_; }
    // What the controls held when the dialog closed.
    const std::vector<ControlState>& Closed() const { return closed_; }
    // Why the user stopped early ("" when every action ran).
    const std::string& Problem() const { return problem_; }

private:
    std::vector<Action> actions_;
    mutable bool shown_ = false;
    mutable std::vector<ControlState> closed_;
    mutable std::string problem_;
};

}  // namespace host
