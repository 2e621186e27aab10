// The host's layout-script view factory zeltamofactory, as the plug-in compiles against it: the
// view base from which a dialog is built out of its layout script. The host supplies the library.
#pragma once

#include <cstdint>
#include <functional>
#include <sstream>
#include <string>

#include "dialog/toolkit/zelcore.h"
#include "dialog/toolkit/zelui.h"

#if defined(_WIN32)
#if defined(ZELTAMOFACTORY_BUILD)
#define ZELTAMOFACTORY_API __declspec(dllexport)
#else
#define ZELTAMOFACTORY_API __declspec(dllimport)
#endif
#else
#define ZELTAMOFACTORY_API __attribute__((visibility("default")))
#endif

namespace zeltamofactory {

enum TamoVersionPreference : int32_t { tamoVersionCurrent = 0 };

// A view whose dialog is built from a layout script. ParseTamoScript builds the nodes, calls
// SetupView before any input and shows the dialog modally on the draw supplier; once it returns,
// GetView gives the closed dialog and its result.
class ZELTAMOFACTORY_API UI_TamoViewBase : public zelui::tamocontracts::UI_ITamoView {
public:
    UI_TamoViewBase(const zelcore::ByteString& name, const zelui::drawbot::SupplierInterface* drawSupplier,
                    zelui::ui::UI_Node* parentNode, TamoVersionPreference preference);
    ~UI_TamoViewBase() override;

    void SetupView() override;
    void Destruction() override;
    void SetupPostCloseCallback(std::function<void()> callback) override;
    void ParseTamoScript(std::stringstream& script) override;
    const zelui::drawbot::SupplierInterface* GetDrawSupplier() const override;
    zelcore::utility::IntrusivePtr<zelui::tamocontracts::UI_TamoDialogBase> GetView() override;
    zelcore::utility::IntrusivePtr<zelui::ui::UI_Node> GetUINodePtr(const std::string& identifier) override;
    std::stringstream* GetLayoutStream() override;
    std::stringstream* GetScriptStream() override;
    std::string InterpretFileName(const std::string& name) const override;
    std::string GetFileExtension() const override;
    HINSTANCE GetResourceModule() const override;
    void SetContentResourceManager(const zelui::utility::OS_ResourceManager* manager) override;

private:
    struct State;
    State* state_;
};

}  // namespace zeltamofactory
