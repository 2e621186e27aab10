// The view base of layout-script dialogs: parses the script, builds the nodes, lets the view set
// itself up and shows the dialog modally on the host's draw supplier.
#include <iterator>
#include <string>
#include <typeinfo>

#include "host/zeltamofactory/tamo_script.h"

namespace zeltamofactory {

using zelcore::utility::IntrusivePtr;

struct UI_TamoViewBase::State {
    std::string name;
    const zelui::drawbot::SupplierInterface* drawSupplier = nullptr;
    IntrusivePtr<zelui::ui::UI_Node> parentNode;
    IntrusivePtr<zelui::tamocontracts::UI_TamoDialogBase> view;
    std::stringstream layout;
    std::function<void()> postClose;
    const zelui::utility::OS_ResourceManager* contentResources = nullptr;
};

UI_TamoViewBase::UI_TamoViewBase(const zelcore::ByteString& name, const zelui::drawbot::SupplierInterface* drawSupplier,
                                 zelui::ui::UI_Node* parentNode, TamoVersionPreference)
    : state_(new State) {
    state_->name.assign(name.begin(), name.end());
    state_->drawSupplier = drawSupplier;
    state_->parentNode = IntrusivePtr<zelui::ui::UI_Node>(parentNode);
}

UI_TamoViewBase::~UI_TamoViewBase() {
    Destruction();
    delete state_;
}

void UI_TamoViewBase::SetupView() {}

void UI_TamoViewBase::Destruction() {
    if (state_->view) state_->view->SetHostParent(nullptr);
    state_->view.reset();
    state_->parentNode.reset();
    state_->postClose = nullptr;
}

void UI_TamoViewBase::SetupPostCloseCallback(std::function<void()> callback) { state_->postClose = std::move(callback); }

void UI_TamoViewBase::ParseTamoScript(std::stringstream& script) {
    const std::string text((std::istreambuf_iterator<char>(script)), std::istreambuf_iterator<char>());
    state_->layout.str(text);
    // The whole tree is built before it becomes the view: a failed build leaves no view.
    state_->view = BuildTamoDialog(ParseTamoText(text));
    state_->view->SetHostParent(state_->parentNode.get());

    // The view stays alive while it is shown, whatever its owner does meanwhile.
    IntrusivePtr<UI_TamoViewBase> keep(this);
    SetupView();
    if (state_->drawSupplier == nullptr) {
        zelcore::config::DoThrowNullPtrException(zelcore::debug::GetTypeName(typeid(zelui::drawbot::SupplierInterface)));
    }
    IntrusivePtr<zelui::tamocontracts::UI_TamoDialogBase> shown = state_->view;
    state_->drawSupplier->PresentModal(*shown);
    // A front end that returns without a result has had its dialog dismissed.
    shown->Close(zelui::ui::UI_Dialog::resultCancel);
    shown->SetHostParent(nullptr);
    if (state_->postClose) state_->postClose();
}

const zelui::drawbot::SupplierInterface* UI_TamoViewBase::GetDrawSupplier() const { return state_->drawSupplier; }

IntrusivePtr<zelui::tamocontracts::UI_TamoDialogBase> UI_TamoViewBase::GetView() { return state_->view; }

IntrusivePtr<zelui::ui::UI_Node> UI_TamoViewBase::GetUINodePtr(const std::string& identifier) {
    if (!state_->view) return {};
    return IntrusivePtr<zelui::ui::UI_Node>(state_->view->Find(identifier));
}

std::stringstream* UI_TamoViewBase::GetLayoutStream() { return &state_->layout; }
std::stringstream* UI_TamoViewBase::GetScriptStream() { return &state_->layout; }
std::string UI_TamoViewBase::InterpretFileName(const std::string& name) const { return name + GetFileExtension(); }
std::string UI_TamoViewBase::GetFileExtension() const { return ".zopa"; }
HINSTANCE UI_TamoViewBase::GetResourceModule() const { return nullptr; }
void UI_TamoViewBase::SetContentResourceManager(const zelui::utility::OS_ResourceManager* manager) {
    state_->contentResources = manager;
}

}  // namespace zeltamofactory
