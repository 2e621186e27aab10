// The "JPEG Options" dialog: controls found by identifier, the three quality controls kept in
// step, the scans offered for Progressive only, the record shown and stored.
#include "dialog/dialog_jpeg_options.h"

#include <cstring>
#include <string>
#include <typeinfo>

using zelcore::utility::IntrusivePtr;
using namespace zelui::ui;

namespace {

// Preset index and the quality it sets, searched from the first entry.
constexpr int32_t kQualityPresets[4][2] = {
    {0, 1},  // Low
    {1, 3},  // Medium
    {2, 6},  // High
    {3, 8},  // Maximum
};

constexpr int32_t kProgressive = 2;

// The toolkit's message key and numbers for a node of the wrong class.
constexpr const char* kInvalidTypeConversion = "$$$/zelcore/utility/Error/InvalidTypeConversion=Invalid type conversion.";
constexpr unsigned int kInvalidTypeConversionCode = 105;
constexpr int kInvalidTypeConversionDetail = 21;

[[noreturn]] void ThrowInvalidTypeConversion() {
    zelcore::config::ThrowError(zelcore::config::errorLevelError, kInvalidTypeConversion, kInvalidTypeConversionCode,
                                kInvalidTypeConversionDetail, true, zelcore::config::ReplacementValue(),
                                zelcore::config::ReplacementValue(), zelcore::config::ReplacementValue(),
                                zelcore::config::ReplacementValue());
}

// The control behind a field, or the host's null-pointer error naming its class.
template <class Control>
Control& Checked(const IntrusivePtr<Control>& field) {
    if (!field) zelcore::config::DoThrowNullPtrException(zelcore::debug::GetTypeName(typeid(Control)));
    return *field;
}

// Conversions of a control's double to a whole number truncate toward zero.
int32_t Truncated(double value) { return static_cast<int32_t>(value); }

// The record's fields are 16-bit words that may sit at any address of the host's block.
int16_t ReadField(const int16_t* field) {
    int16_t value;
    std::memcpy(&value, field, sizeof value);
    return value;
}
void WriteField(int16_t* field, int32_t value) {
    const auto low = static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint32_t>(value) & 0xFFFFu));
    std::memcpy(field, &low, sizeof low);
}

}  // namespace

int32_t ConvertQuality(int32_t value, bool toPopup) {
    if (toPopup) {
        if (value <= 2) return 0;
        if (value <= 5) return 1;
        if (value <= 7) return 2;
        return 3;
    }
    for (const auto& preset : kQualityPresets) {
        if (preset[0] == value) return preset[1];
    }
    return -1;
}

DialogJPEGOptions::DialogJPEGOptions(const zelcore::ByteString& name,
                                     const zelui::drawbot::SupplierInterface* drawSupplier, UI_Node* parentNode,
                                     int16_t* options)
    : UI_TamoViewBase(name, drawSupplier, parentNode, zeltamofactory::tamoVersionCurrent), options(options) {}

DialogJPEGOptions::~DialogJPEGOptions() {
    scansPopup.reset();
    formatGroup.reset();
    qualityNumber.reset();
    slider.reset();
    qualityPopup.reset();
}

template <class Control>
IntrusivePtr<Control> DialogJPEGOptions::FindControl(const char* identifier) {
    Control* control;
    {
        const std::string name(identifier);
        const IntrusivePtr<UI_Node> node = GetUINodePtr(name);
        control = dynamic_cast<Control*>(node.get());
        if (control == nullptr) ThrowInvalidTypeConversion();
        // The control is held before the node pointer goes.
        IntrusivePtr<Control> held(control);
        return held;
    }
}

void DialogJPEGOptions::SetupView() {
    {
        IntrusivePtr<zelui::tamocontracts::UI_TamoDialogBase> view = GetView();
        if (!view) {
            zelcore::config::DoThrowNullPtrException(
                zelcore::debug::GetTypeName(typeid(zelui::tamocontracts::UI_TamoDialogBase)));
        }
        IntrusivePtr<UI_Button> cancel = FindControl<UI_Button>("cancelButton");
        IntrusivePtr<UI_Button> ok = FindControl<UI_Button>("okButton");
        view->SetButtons(ok, cancel);
    }

    qualityPopup = FindControl<UI_Popup>("quality_pop");
    slider = FindControl<UI_Slider>("slider");
    qualityNumber = FindControl<UI_HotTextNumber>("quality");
    formatGroup = FindControl<UI_RadioGroup>("format_options");
    scansPopup = FindControl<UI_Popup>("scans");

    slider->NotifyWhenChangedInteractively(
        BindMessageFunction_Impl<DialogJPEGOptions, UI_InteractiveControlChangedMessage, void>::BindMessageFunction(
            this, &DialogJPEGOptions::OnSliderChanged));
    qualityNumber->NotifyWhenChangedInteractively(
        BindMessageFunction_Impl<DialogJPEGOptions, UI_InteractiveControlChangedMessage, void>::BindMessageFunction(
            this, &DialogJPEGOptions::OnQualityChanged));
    qualityPopup->NotifyWhenChanged(
        BindMessageFunction_Impl<DialogJPEGOptions, UI_ControlChangedMessage, void>::BindMessageFunction(
            this, &DialogJPEGOptions::OnQualityPopupChanged));

    qualityNumber->SetDoubleValue(static_cast<double>(ReadField(options)));
    OnQualityChanged(nullptr);

    formatGroup->SetIndex(static_cast<long long>(ReadField(options + 1)));
    formatGroup->NotifyWhenChanged(BindMessageFunction_Impl<DialogJPEGOptions, UI_ControlChangedMessage, void>::BindMessageFunction(
        this, &DialogJPEGOptions::OnFormatChanged));
    OnFormatChanged(nullptr);

    scansPopup->SetValue(static_cast<long long>(ReadField(options + 2)) - 1);
}

void DialogJPEGOptions::OnQualityChanged(UI_InteractiveControlChangedMessage* message) {
    UI_HotTextNumber& number = Checked(qualityNumber);
    const int32_t quality = Truncated(number.GetDoubleValue());
    Checked(qualityPopup).SetValue(ConvertQuality(quality, true));
    Checked(slider).SetDoubleValue(static_cast<double>(Truncated(number.GetDoubleValue())));
    // At the end of an interactive edit the number snaps to a whole value.
    if (message != nullptr && message->GetChangeMessage() == 2) {
        number.SetDoubleValue(static_cast<double>(Truncated(number.GetDoubleValue())));
    }
}

void DialogJPEGOptions::OnSliderChanged(UI_InteractiveControlChangedMessage*) {
    UI_Slider& control = Checked(slider);
    const int32_t position = Truncated(control.GetDoubleValue());
    Checked(qualityPopup).SetValue(ConvertQuality(position, true));
    Checked(qualityNumber).SetDoubleValue(static_cast<double>(Truncated(control.GetDoubleValue())));
}

void DialogJPEGOptions::OnQualityPopupChanged(UI_ControlChangedMessage*) {
    const int32_t quality = ConvertQuality(static_cast<int32_t>(Checked(qualityPopup).GetValue()), false);
    Checked(qualityNumber).SetDoubleValue(static_cast<double>(quality));
    Checked(slider).SetDoubleValue(static_cast<double>(quality));
}

void DialogJPEGOptions::OnFormatChanged(UI_ControlChangedMessage*) {
    const bool off = Checked(formatGroup).GetIndex() != kProgressive;
    Checked(scansPopup).SetInactive(off);
    IntrusivePtr<UI_StaticText> label = FindControl<UI_StaticText>("scans_label");
    label->SetInactive(Checked(formatGroup).GetIndex() != kProgressive);
}

void DialogJPEGOptions::StoreOptions() {
    WriteField(options, Truncated(Checked(qualityNumber).GetDoubleValue()));
    WriteField(options + 1, static_cast<int32_t>(Checked(formatGroup).GetIndex()));
    WriteField(options + 2, static_cast<int32_t>(Checked(scansPopup).GetValue() + 1));
}
