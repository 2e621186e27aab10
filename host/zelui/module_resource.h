// A module's own resource, found through the module handle the system gave the module: the one
// place where the resource manager depends on the platform.
#pragma once

#include <string>
#include <vector>

#include "dialog/toolkit/zelui.h"

namespace zelui::utility {

// Appends the bytes of the resource of this type and name (ASCII, any case) of the module to
// *bytes, when bytes is not null; false when the module has no such resource.
bool ReadModuleResource(HINSTANCE module, const std::string& type, const std::string& name, std::vector<char>* bytes);

}  // namespace zelui::utility
