// The "JPEG Options" dialog: a layout-script view of the host's toolkit that finds its controls by
// identifier, ties the quality number, its slider and its preset popup together, offers the scans
// only for Progressive, shows the options record and, after OK, writes the controls back into it.
#pragma once

#include <cstdint>

#include "dialog/toolkit/zelcore.h"
#include "dialog/toolkit/zelui.h"
#include "dialog/toolkit/zeltamofactory.h"

// The preset index for a quality (toPopup), or the quality of a preset index (-1 for an index
// without a preset).
int32_t ConvertQuality(int32_t value, bool toPopup);

class DialogJPEGOptions : public zeltamofactory::UI_TamoViewBase {
public:
    // options: the record's quality, format and scans, in the machine's order while the dialog
    // exists; not owned.
    DialogJPEGOptions(const zelcore::ByteString& name, const zelui::drawbot::SupplierInterface* drawSupplier,
                      zelui::ui::UI_Node* parentNode, int16_t* options);
    ~DialogJPEGOptions() override;

    void SetupView() override;
    // Writes the number's quality, the format and the scans into the record.
    virtual void StoreOptions();

    void OnQualityChanged(zelui::ui::UI_InteractiveControlChangedMessage* message);
    void OnSliderChanged(zelui::ui::UI_InteractiveControlChangedMessage* message);
    void OnQualityPopupChanged(zelui::ui::UI_ControlChangedMessage* message);
    void OnFormatChanged(zelui::ui::UI_ControlChangedMessage* message);

private:
    template <class Control>
    zelcore::utility::IntrusivePtr<Control> FindControl(const char* identifier);

    int16_t* options;
    zelcore::utility::IntrusivePtr<zelui::ui::UI_Popup> qualityPopup;
    zelcore::utility::IntrusivePtr<zelui::ui::UI_Slider> slider;
    zelcore::utility::IntrusivePtr<zelui::ui::UI_HotTextNumber> qualityNumber;
    zelcore::utility::IntrusivePtr<zelui::ui::UI_RadioGroup> formatGroup;
    zelcore::utility::IntrusivePtr<zelui::ui::UI_Popup> scansPopup;
};
