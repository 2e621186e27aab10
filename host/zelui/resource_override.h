// The host's layout folder: resources the host has been given in place of a module's own (how a
// host lets a designer try a changed dialog layout without rebuilding the module). Tests use it to
// show the module layouts it was not built with. Types and names match without regard to case.
#pragma once

#include <string>

#include "dialog/toolkit/zelui.h"

namespace zelui::utility {

ZELUI_API void OverrideResource(const std::string& type, const std::string& name, const std::string& bytes);
ZELUI_API void ClearResourceOverrides();

}  // namespace zelui::utility
