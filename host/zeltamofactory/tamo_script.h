// The layout-script language of the view factory: the parser's syntax tree and the builder that
// turns it into a dialog's nodes.
//
//   script    := element*
//   element   := word+ [ "(" [ attribute ("," attribute)* ] ")" ] ( "{" element* "}" | ";" )
//   attribute := word ":" value
//   value     := "string" | 'name' | @enumeration | number | true | false
//
// A string of the form "$$$/key=Default text" is a localisation key with the text shown when no
// translation exists; "#{ldquo}" and "#{rdquo}" in a string stand for the curly double quotation
// marks. Blanks, tabs and line ends separate tokens; "//" starts a comment to the end of the line.
#pragma once

#include <string>
#include <vector>

#include "dialog/toolkit/zeltamofactory.h"

namespace zeltamofactory {

struct TamoValue {
    enum Kind { string, name, enumeration, numeral, boolean };
    Kind kind = string;
    std::string text;  // the shown text (UTF-8) of a string; the name, enumeration or number as written
    std::string key;   // a localised string's key, e.g. "$$$/KV/Dialogs/JpegOptions"
    double number = 0;
    bool truth = false;
};

struct TamoAttribute {
    std::string name;
    TamoValue value;
};

struct TamoElement {
    std::vector<std::string> words;  // the keyword and the words after it: {"view", "dialog"}
    std::vector<TamoAttribute> attributes;
    bool leaf = false;               // ended by ";" rather than a block
    std::vector<TamoElement> children;
    int line = 0;

    const TamoValue* Attribute(const std::string& name) const;
};

// Parses a whole script into its top-level elements. A script that breaks the grammar raises the
// toolkit's layout-script error naming the line.
ZELTAMOFACTORY_API std::vector<TamoElement> ParseTamoText(const std::string& text);

// Builds the dialog of a parsed script: the "view dialog" element inside "layout zeltamo_dialog".
// Elements the factory does not know, a missing view and identifiers given twice raise the same
// error.
ZELTAMOFACTORY_API zelcore::utility::IntrusivePtr<zelui::tamocontracts::UI_TamoDialogBase> BuildTamoDialog(
    const std::vector<TamoElement>& script);

}  // namespace zeltamofactory
