// Options start: runs the "JPEG Options" dialog on the stored record. The one handler that may
// throw: the int error of a failed host call, and the host toolkit's errors; FilterMain catches
// them. Whatever way it ends, the option fields are big-endian again and the dialog, its script
// and the host's suite are given back.
#include <cstddef>
#include <typeinfo>
#include <utility>

#include "dialog/dialog_jpeg_options.h"
#include "dialog/dialog_layout_script.h"
#include "shell/handlers.h"
#include "shell/options_record.h"

namespace kv::shell {

namespace {

// What is thrown when the host will not give its dialog suite.
constexpr int kNoDialogSuite = 13;

constexpr const char* kDialogName = "JpegOptions";

// The dialog's name as the toolkit takes it, made once.
const zelcore::ByteString& DialogName() {
    static const zelcore::ByteString name(reinterpret_cast<const unsigned char*>(kDialogName),
                                          reinterpret_cast<const unsigned char*>(kDialogName) + 11);
    return name;
}

// Runs an action when the scope ends unless it has run already.
template <class Action>
class OnExit {
public:
    explicit OnExit(Action action) : action_(std::move(action)) {}
    ~OnExit() { Run(); }
    OnExit(const OnExit&) = delete;
    OnExit& operator=(const OnExit&) = delete;
    void Run() {
        if (armed_) {
            armed_ = false;
            action_();
        }
    }

private:
    Action action_;
    bool armed_ = true;
};

}  // namespace

void OptionsStart(HostFormatRecord* record, intptr_t, int16_t* result) {
    if (const int16_t made = EnsureOptionsRecord(record); made != resultOk) {
        *result = made;
        return;
    }

    BasicSuite* basic = record->basicSuite;
    if (basic == nullptr || basic->acquireSuite == nullptr) throw kNoDialogSuite;
    const void* acquired = nullptr;
    if (basic->acquireSuite(kZelSuiteName, kZelSuiteVersion, &acquired) != 0) throw kNoDialogSuite;
    OnExit releaseSuite([basic] {
        if (basic->releaseSuite != nullptr) basic->releaseSuite(kZelSuiteName, kZelSuiteVersion);
    });
    if (acquired == nullptr) throw kNoDialogSuite;
    const auto* suite = static_cast<const ZelSuite*>(acquired);

    const void* supplier = nullptr;
    if (const int32_t error = suite->getDrawSupplier(&supplier); error != 0) throw static_cast<int>(error);
    void* parent = nullptr;
    if (const int32_t error = suite->getParentNode(&parent); error != 0) throw static_cast<int>(error);

    DialogLayoutScript script(kDialogName);

    auto* fields = reinterpret_cast<int16_t*>(*record->persistentData + offsetof(JpegOptionsRecord, quality));
    SwapOptions(fields);
    OnExit swapBack([fields] { SwapOptions(fields); });

    auto* dialog = new DialogJPEGOptions(DialogName(), static_cast<const zelui::drawbot::SupplierInterface*>(supplier),
                                         static_cast<zelui::ui::UI_Node*>(parent), fields);
    dialog->AddRefCount();
    OnExit releaseDialog([dialog] { dialog->ReleaseRefCount(); });

    dialog->ParseTamoScript(script.stream);
    int32_t dialogResult;
    {
        zelcore::utility::IntrusivePtr<zelui::tamocontracts::UI_TamoDialogBase> view = dialog->GetView();
        if (!view) {
            zelcore::config::DoThrowNullPtrException(
                zelcore::debug::GetTypeName(typeid(zelui::tamocontracts::UI_TamoDialogBase)));
        }
        dialogResult = view->GetDialogResult();
    }
    if (dialogResult == 1) {
        dialog->StoreOptions();
    } else {
        *result = resultCancelled;
    }

    swapBack.Run();
    releaseDialog.Run();
    // The script goes with this scope, then the suite.
}

}  // namespace kv::shell
