// Loading a dialog's layout script from the module's resources into a string stream.
#include "dialog/dialog_layout_script.h"

#include <string>

#include "dialog/toolkit/zelcore.h"
#include "dialog/toolkit/zelui.h"
#include "shell/module_instance.h"

DialogLayoutScript::DialogLayoutScript(const char* dialogName) : bytes(), stream() {
    zelui::utility::OS_ResourceManager resources(kv::shell::ModuleInstance());
    {
        zelcore::oUTF16StringStream name;
        name << dialogName << ".zopa";
        zelcore::UTF16String resourceName = name.str();
        zelcore::UTF16String resourceType = zelcore::string::AsciiToUTF16("tamo", 3);
        resources.GetBinary(resourceName, resourceType, &bytes);
    }
    bytes.push_back('\0');
    stream.str(std::string(bytes.data()));
    stream.seekg(0);
}
