// The layout script of a dialog, read from the module's own resources (type "TAMO", name
// "<dialog name>.ZOPA") and held as a string stream for the view's ParseTamoScript.
#pragma once

#include <sstream>
#include <vector>

class DialogLayoutScript {
public:
    // Loads the script of the named dialog; a missing resource gives an empty script.
    explicit DialogLayoutScript(const char* dialogName);

    std::vector<char> bytes;   // the resource's bytes and one NUL
    std::stringstream stream;  // the text up to the first NUL, read from its start
};
