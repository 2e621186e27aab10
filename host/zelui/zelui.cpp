// The host's UI toolkit: the node tree of a dialog, values and their notifications, dialogs with
// their OK and Cancel buttons.
#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "dialog/toolkit/zelui.h"

namespace zelui {

namespace drawbot {
SupplierInterface::~SupplierInterface() = default;
}

namespace ui {

namespace {

// Calls every callback of a list with the message. A callback may bind further callbacks or drop
// the control's last outside reference, so the list is copied and the control held meanwhile.
void Send(UI_Node* source, const std::vector<MessageFunction>& callbacks, Message* message) {
    if (callbacks.empty()) return;
    IntrusivePtr<UI_Node> keep(source);
    const std::vector<MessageFunction> calls = callbacks;
    for (const MessageFunction& call : calls) {
        if (call != nullptr && *call) (*call)(message);
    }
}

}  // namespace

Message::Message(UI_Node* source) : source_(source) {}
Message::~Message() = default;
UI_Node* Message::Source() const { return source_; }

UI_ControlChangedMessage::UI_ControlChangedMessage(UI_Node* source) : Message(source) {}
UI_ControlChangedMessage::~UI_ControlChangedMessage() = default;

UI_InteractiveControlChangedMessage::UI_InteractiveControlChangedMessage(UI_Node* source, ChangeMessage change)
    : UI_ControlChangedMessage(source), change_(change) {}
UI_InteractiveControlChangedMessage::~UI_InteractiveControlChangedMessage() = default;
ChangeMessage UI_InteractiveControlChangedMessage::GetChangeMessage() const { return change_; }

UI_Node::UI_Node() = default;
UI_Node::~UI_Node() {
    for (const IntrusivePtr<UI_Node>& child : children_) child->parent_ = nullptr;
}

void UI_Node::SetInactive(bool inactive) { inactive_ = inactive; }
bool UI_Node::IsInactive() const { return inactive_; }
const std::string& UI_Node::Identifier() const { return identifier_; }
void UI_Node::SetIdentifier(const std::string& identifier) { identifier_ = identifier; }
const std::string& UI_Node::Text() const { return text_; }
const std::string& UI_Node::TextKey() const { return textKey_; }
void UI_Node::SetText(const std::string& text, const std::string& key) {
    text_ = text;
    textKey_ = key;
}

std::string UI_Node::Hint(const std::string& name) const {
    for (const auto& [key, value] : hints_) {
        if (key == name) return value;
    }
    return std::string();
}

void UI_Node::SetHint(const std::string& name, const std::string& value) {
    for (auto& [key, held] : hints_) {
        if (key == name) {
            held = value;
            return;
        }
    }
    hints_.emplace_back(name, value);
}

void UI_Node::AppendChild(const IntrusivePtr<UI_Node>& child) {
    if (!child || child->parent_ != nullptr) {
        std::fprintf(stderr, "zelui: a node can have one parent only\n");
        std::abort();
    }
    child->parent_ = this;
    children_.push_back(child);
}

const std::vector<IntrusivePtr<UI_Node>>& UI_Node::Children() const { return children_; }
UI_Node* UI_Node::Parent() const { return parent_; }

UI_Node* UI_Node::Find(const std::string& identifier) {
    if (identifier.empty()) return nullptr;
    if (identifier_ == identifier) return this;
    for (const IntrusivePtr<UI_Node>& child : children_) {
        if (UI_Node* found = child->Find(identifier)) return found;
    }
    return nullptr;
}

UI_Group::~UI_Group() = default;
UI_Row::~UI_Row() = default;
UI_Column::~UI_Column() = default;

UI_StaticText::~UI_StaticText() = default;
const std::string& UI_StaticText::LabelledIdentifier() const { return labelled_; }
void UI_StaticText::SetLabelledIdentifier(const std::string& identifier) { labelled_ = identifier; }

UI_ControlView::~UI_ControlView() = default;
void UI_ControlView::NotifyWhenChanged(MessageFunction callback) { changed_.push_back(std::move(callback)); }
void UI_ControlView::SendChanged() {
    UI_ControlChangedMessage message(this);
    Send(this, changed_, &message);
}

UI_InteractiveControlView::~UI_InteractiveControlView() = default;
void UI_InteractiveControlView::NotifyWhenChangedInteractively(MessageFunction callback) {
    interactive_.push_back(std::move(callback));
}
void UI_InteractiveControlView::SendInteractive(ChangeMessage change) {
    UI_InteractiveControlChangedMessage message(this, change);
    Send(this, interactive_, &message);
}

UI_Button::~UI_Button() = default;

bool UI_Button::UserPress() {
    if (IsInactive()) return false;
    IntrusivePtr<UI_Node> keep(this);
    SendChanged();
    for (UI_Node* up = Parent(); up != nullptr; up = up->Parent()) {
        auto* dialog = dynamic_cast<UI_Dialog*>(up);
        if (dialog == nullptr) continue;
        if (dialog->OkButton() == this) dialog->Close(UI_Dialog::resultOk);
        else if (dialog->CancelButton() == this) dialog->Close(UI_Dialog::resultCancel);
        break;
    }
    return true;
}

UI_Popup::~UI_Popup() = default;
void UI_Popup::SetValue(long long value) { value_ = value; }
long long UI_Popup::GetValue() const { return value_; }
void UI_Popup::AddItem(const std::string& text, const std::string&) { items_.push_back(text); }
int32_t UI_Popup::ItemCount() const { return static_cast<int32_t>(items_.size()); }
std::string UI_Popup::ItemText(long long index) const {
    return index >= 0 && index < static_cast<long long>(items_.size()) ? items_[static_cast<std::size_t>(index)]
                                                                       : std::string();
}
bool UI_Popup::UserChoose(long long index) {
    if (IsInactive() || index < 0 || index >= static_cast<long long>(items_.size())) return false;
    value_ = index;
    SendChanged();
    return true;
}

UI_RadioButton::~UI_RadioButton() = default;

UI_RadioGroup::~UI_RadioGroup() = default;
void UI_RadioGroup::SetIndex(long long index) { index_ = index; }
long long UI_RadioGroup::GetIndex() const { return index_; }
std::vector<UI_RadioButton*> UI_RadioGroup::Buttons() const {
    std::vector<UI_RadioButton*> buttons;
    for (const IntrusivePtr<UI_Node>& child : Children()) {
        if (auto* button = dynamic_cast<UI_RadioButton*>(child.get())) buttons.push_back(button);
    }
    return buttons;
}
std::string UI_RadioGroup::ButtonText(long long index) const {
    const std::vector<UI_RadioButton*> buttons = Buttons();
    return index >= 0 && index < static_cast<long long>(buttons.size()) ? buttons[static_cast<std::size_t>(index)]->Text()
                                                                        : std::string();
}
bool UI_RadioGroup::UserChoose(long long index) {
    if (IsInactive() || index < 0 || index >= static_cast<long long>(Buttons().size())) return false;
    index_ = index;
    SendChanged();
    return true;
}

UI_RangeControl::~UI_RangeControl() = default;
void UI_RangeControl::SetRange(double minimum, double maximum) {
    minimum_ = minimum;
    maximum_ = maximum;
}
double UI_RangeControl::Minimum() const { return minimum_; }
double UI_RangeControl::Maximum() const { return maximum_; }
bool UI_RangeControl::UserStep(double value) {
    if (IsInactive()) return false;
    value_ = std::clamp(value, minimum_, maximum_);
    SendInteractive(changeMessageStep);
    return true;
}
bool UI_RangeControl::UserEnd() {
    if (IsInactive()) return false;
    IntrusivePtr<UI_Node> keep(this);
    SendInteractive(changeMessageEnd);
    SendChanged();
    return true;
}

UI_Slider::~UI_Slider() = default;
double UI_Slider::GetDoubleValue() const { return value_; }
void UI_Slider::SetDoubleValue(double value) { value_ = value; }

UI_HotTextNumber::~UI_HotTextNumber() = default;
double UI_HotTextNumber::GetDoubleValue() const { return value_; }
void UI_HotTextNumber::SetDoubleValue(double value) { value_ = value; }

UI_Dialog::~UI_Dialog() = default;
void UI_Dialog::SetButtons(IntrusivePtr<UI_Button> ok, IntrusivePtr<UI_Button> cancel) {
    ok_ = std::move(ok);
    cancel_ = std::move(cancel);
}
int32_t UI_Dialog::GetDialogResult() const { return result_; }
UI_Button* UI_Dialog::OkButton() const { return ok_.get(); }
UI_Button* UI_Dialog::CancelButton() const { return cancel_.get(); }
bool UI_Dialog::IsClosed() const { return closed_; }
void UI_Dialog::Close(int32_t result) {
    if (closed_) return;
    closed_ = true;
    result_ = result;
}
void UI_Dialog::SetHostParent(UI_Node* parent) { hostParent_ = parent; }
UI_Node* UI_Dialog::HostParent() const { return hostParent_; }

}  // namespace ui

namespace tamocontracts {

UI_TamoDialogBase::~UI_TamoDialogBase() = default;
UI_TamoSignalCallbackSuite::UI_TamoSignalCallbackSuite() = default;
UI_TamoSignalCallbackSuite::~UI_TamoSignalCallbackSuite() = default;
UI_ITamoView::UI_ITamoView() = default;
UI_ITamoView::~UI_ITamoView() = default;

}  // namespace tamocontracts

}  // namespace zelui
