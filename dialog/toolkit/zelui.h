// The host's UI toolkit zelui, as the plug-in compiles against it: the node tree of a dialog (the
// dialog, its groups, rows and columns, buttons, popups, radio groups, sliders, number fields and
// texts), change notifications, the contracts of layout-script views and the resource manager.
// The host supplies the library; the plug-in imports every operation and compiles only the
// BindMessageFunction_Impl template.
//
// Values set from code (SetValue, SetIndex, SetDoubleValue) never raise a notification; only the
// user's own input does, through the User... operations that the host's front ends call.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "dialog/toolkit/zelcore.h"

#if defined(_WIN32)
#include <windows.h>
#if defined(ZELUI_BUILD)
#define ZELUI_API __declspec(dllexport)
#else
#define ZELUI_API __declspec(dllimport)
#endif
#else
#define ZELUI_API __attribute__((visibility("default")))
// The module handle the operating system gives a module when it attaches it: here the address of
// the module's ELF header in memory.
struct HINSTANCE__;
using HINSTANCE = HINSTANCE__*;
#endif

namespace zelui {

namespace tamocontracts {
class UI_TamoDialogBase;
}

namespace drawbot {

// What the host draws dialogs on, and where a modal dialog lives until it closes: the host's
// front end (a window for people, a scripted user for tests).
class ZELUI_API SupplierInterface {
public:
    virtual ~SupplierInterface();
    // Shows the dialog and returns once it has closed (its result set).
    virtual void PresentModal(tamocontracts::UI_TamoDialogBase& dialog) const = 0;
};

}  // namespace drawbot

namespace ui {

using zelcore::utility::IntrusivePtr;

class UI_Node;

// A notification handed to a bound callback.
class ZELUI_API Message {
public:
    explicit Message(UI_Node* source);
    virtual ~Message();
    UI_Node* Source() const;

private:
    UI_Node* source_;
};

// The user committed a change of a control.
class ZELUI_API UI_ControlChangedMessage : public Message {
public:
    explicit UI_ControlChangedMessage(UI_Node* source);
    ~UI_ControlChangedMessage() override;
};

enum ChangeMessage : int32_t {
    changeMessageStep = 1,  // one step of an edit or drag
    changeMessageEnd = 2,   // the edit or drag has ended
};

// One step of the user's edit or drag of a control, or its end.
class ZELUI_API UI_InteractiveControlChangedMessage : public UI_ControlChangedMessage {
public:
    UI_InteractiveControlChangedMessage(UI_Node* source, ChangeMessage change);
    ~UI_InteractiveControlChangedMessage() override;
    ChangeMessage GetChangeMessage() const;

private:
    ChangeMessage change_;
};

using MessageFunction = std::shared_ptr<std::function<void(Message*)>>;

// One element of a dialog. A node holds its children; a child knows its parent without holding it.
class ZELUI_API UI_Node : public zelcore::utility::RefCountedObjectWithWeakPtr {
public:
    UI_Node();
    ~UI_Node() override;

    virtual void SetInactive(bool inactive);
    bool IsInactive() const;

    // The identifier the layout script gave the node ("" for none).
    const std::string& Identifier() const;
    void SetIdentifier(const std::string& identifier);
    // The shown text (UTF-8) and the localisation key it came from.
    const std::string& Text() const;
    const std::string& TextKey() const;
    void SetText(const std::string& text, const std::string& key = std::string());
    // Layout hints by attribute name ("horizontal" -> "align_fill", "spacing" -> "5"); "" when absent.
    std::string Hint(const std::string& name) const;
    void SetHint(const std::string& name, const std::string& value);

    void AppendChild(const IntrusivePtr<UI_Node>& child);
    const std::vector<IntrusivePtr<UI_Node>>& Children() const;
    UI_Node* Parent() const;
    // The node of this subtree (this one included) with the identifier, or null.
    UI_Node* Find(const std::string& identifier);

private:
    UI_Node* parent_ = nullptr;
    bool inactive_ = false;
    std::string identifier_;
    std::string text_;
    std::string textKey_;
    std::vector<std::pair<std::string, std::string>> hints_;
    std::vector<IntrusivePtr<UI_Node>> children_;
};

class ZELUI_API UI_Group : public UI_Node {
public:
    ~UI_Group() override;
};
class ZELUI_API UI_Row : public UI_Node {
public:
    ~UI_Row() override;
};
class ZELUI_API UI_Column : public UI_Node {
public:
    ~UI_Column() override;
};

// A text; as the label of a control it names that control.
class ZELUI_API UI_StaticText : public UI_Node {
public:
    ~UI_StaticText() override;
    const std::string& LabelledIdentifier() const;
    void SetLabelledIdentifier(const std::string& identifier);

private:
    std::string labelled_;
};

// A control whose committed changes can be watched.
class ZELUI_API UI_ControlView : public UI_Node {
public:
    ~UI_ControlView() override;
    void NotifyWhenChanged(MessageFunction callback);

protected:
    void SendChanged();

private:
    std::vector<MessageFunction> changed_;
};

// A control whose every step of an edit or drag can be watched.
class ZELUI_API UI_InteractiveControlView : public UI_ControlView {
public:
    ~UI_InteractiveControlView() override;
    void NotifyWhenChangedInteractively(MessageFunction callback);

protected:
    void SendInteractive(ChangeMessage change);

private:
    std::vector<MessageFunction> interactive_;
};

class ZELUI_API UI_Button : public UI_ControlView {
public:
    ~UI_Button() override;
    // The user pressed the button: the watchers hear of it, and a dialog button closes its dialog.
    // False when the button is inactive.
    bool UserPress();
};

class ZELUI_API UI_Popup : public UI_ControlView {
public:
    ~UI_Popup() override;
    void SetValue(long long value);
    long long GetValue() const;
    void AddItem(const std::string& text, const std::string& key = std::string());
    int32_t ItemCount() const;
    // The item's text, or "" for an index outside the items.
    std::string ItemText(long long index) const;
    // The user chose an item; false when the popup is inactive or has no such item.
    bool UserChoose(long long index);

private:
    long long value_ = 0;
    std::vector<std::string> items_;
};

// One choice of a radio group; its index is its place among the group's buttons.
class ZELUI_API UI_RadioButton : public UI_Node {
public:
    ~UI_RadioButton() override;
};

class ZELUI_API UI_RadioGroup : public UI_ControlView {
public:
    ~UI_RadioGroup() override;
    void SetIndex(long long index);
    long long GetIndex() const;
    // The radio buttons among the children, in order.
    std::vector<UI_RadioButton*> Buttons() const;
    std::string ButtonText(long long index) const;
    // The user selected a button; false when the group is inactive or has no such button.
    bool UserChoose(long long index);

private:
    long long index_ = 0;
};

// A value control with a range; user input is kept inside it, values from code are taken as given.
class ZELUI_API UI_RangeControl : public UI_InteractiveControlView {
public:
    ~UI_RangeControl() override;
    void SetRange(double minimum, double maximum);
    double Minimum() const;
    double Maximum() const;
    // One step of the user's edit (change message 1), then its end (message 2), which also counts
    // as a committed change. False when the control is inactive.
    bool UserStep(double value);
    bool UserEnd();

protected:
    double value_ = 0;

private:
    double minimum_ = 0;
    double maximum_ = 0;
};

class ZELUI_API UI_Slider : public UI_RangeControl {
public:
    ~UI_Slider() override;
    double GetDoubleValue() const;
    void SetDoubleValue(double value);
};

class ZELUI_API UI_HotTextNumber : public UI_RangeControl {
public:
    ~UI_HotTextNumber() override;
    double GetDoubleValue() const;
    void SetDoubleValue(double value);
};

// A dialog: closes with result 1 through its OK button and with 2 through its Cancel button or
// when the user dismisses it.
class ZELUI_API UI_Dialog : public UI_Node {
public:
    enum : int32_t { resultNone = 0, resultOk = 1, resultCancel = 2 };

    ~UI_Dialog() override;
    void SetButtons(IntrusivePtr<UI_Button> ok, IntrusivePtr<UI_Button> cancel);
    int32_t GetDialogResult() const;

    UI_Button* OkButton() const;
    UI_Button* CancelButton() const;
    bool IsClosed() const;
    void Close(int32_t result);
    // The host parent the dialog is shown over while it is open; not held.
    void SetHostParent(UI_Node* parent);
    UI_Node* HostParent() const;

private:
    IntrusivePtr<UI_Button> ok_;
    IntrusivePtr<UI_Button> cancel_;
    int32_t result_ = resultNone;
    bool closed_ = false;
    UI_Node* hostParent_ = nullptr;
};

// Binds a member function of a counted object as a notification callback. The callback holds the
// object's weak handle, never a reference: a message for an object that is gone is dropped, and
// the object is kept alive only for the length of one call.
template <class T, class M, class R>
struct BindMessageFunction_Impl;

template <class T, class M>
struct BindMessageFunction_Impl<T, M, void> {
    static MessageFunction BindMessageFunction(T* object, void (T::*member)(M*)) {
        using Function = std::function<void(Message*)>;
        const zelcore::utility::RefCountedObjectWithWeakPtr::WeakHandle handle = object->GetWeakHandle();
        return std::allocate_shared<Function>(zelcore::allocator::STLAllocator<Function>(),
                                              [handle, object, member](Message* message) {
                                                  auto alive = zelcore::utility::RefCountedObjectWithWeakPtr::Lock(handle);
                                                  if (!alive) return;
                                                  (object->*member)(static_cast<M*>(message));
                                              });
    }
};

}  // namespace ui

namespace tamocontracts {

// The dialog a layout-script view builds.
class ZELUI_API UI_TamoDialogBase : public ui::UI_Dialog {
public:
    ~UI_TamoDialogBase() override;
};

// The signal hooks of a layout-script view (none are used here).
class ZELUI_API UI_TamoSignalCallbackSuite {
public:
    UI_TamoSignalCallbackSuite();
    ~UI_TamoSignalCallbackSuite();
};

}  // namespace tamocontracts

namespace utility {

// The resources of one module, found by type and name without regard to case.
class ZELUI_API OS_ResourceManager {
public:
    explicit OS_ResourceManager(HINSTANCE module);
    ~OS_ResourceManager();
    OS_ResourceManager(const OS_ResourceManager&) = delete;
    OS_ResourceManager& operator=(const OS_ResourceManager&) = delete;

    // Appends the resource's bytes to *bytes; appends nothing when the module has no such resource.
    void GetBinary(const zelcore::UTF16String& name, const zelcore::UTF16String& type, std::vector<char>* bytes) const;
    bool HasBinary(const zelcore::UTF16String& name, const zelcore::UTF16String& type) const;

private:
    HINSTANCE module_;
};

}  // namespace utility

namespace tamocontracts {

// A view built from a layout script.
class ZELUI_API UI_ITamoView : public zelcore::utility::RefCountedObjectWithWeakPtr, public UI_TamoSignalCallbackSuite {
public:
    // Called once the view's nodes exist and before any user input.
    virtual void SetupView() = 0;
    virtual void Destruction() = 0;
    virtual void SetupPostCloseCallback(std::function<void()> callback) = 0;
    virtual void ParseTamoScript(std::stringstream& script) = 0;
    virtual const drawbot::SupplierInterface* GetDrawSupplier() const = 0;
    virtual zelcore::utility::IntrusivePtr<UI_TamoDialogBase> GetView() = 0;
    virtual zelcore::utility::IntrusivePtr<ui::UI_Node> GetUINodePtr(const std::string& identifier) = 0;
    virtual std::stringstream* GetLayoutStream() = 0;
    virtual std::stringstream* GetScriptStream() = 0;
    virtual std::string InterpretFileName(const std::string& name) const = 0;
    virtual std::string GetFileExtension() const = 0;
    virtual HINSTANCE GetResourceModule() const = 0;
    virtual void SetContentResourceManager(const utility::OS_ResourceManager* manager) = 0;

protected:
    UI_ITamoView();
    ~UI_ITamoView() override;
};

}  // namespace tamocontracts

}  // namespace zelui
