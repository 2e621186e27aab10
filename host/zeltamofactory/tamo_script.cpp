// The parser of the layout-script language and the builder of a dialog's nodes from its tree.
#include "host/zeltamofactory/tamo_script.h"

#include <cstdlib>
#include <string>

namespace zeltamofactory {

using zelcore::utility::IntrusivePtr;
using zelcore::utility::MakeCounted;
namespace ui = zelui::ui;

namespace {

constexpr const char* kScriptErrorKey = "$$$/zeltamofactory/Error/LayoutScript=Layout script, line ^1: ^2";
constexpr unsigned int kScriptErrorCode = 201;

[[noreturn]] void ScriptError(int line, const std::string& what) {
    const std::string lineText = std::to_string(line);
    zelcore::config::ThrowError(zelcore::config::errorLevelError, kScriptErrorKey, kScriptErrorCode, line, true,
                                zelcore::config::ReplacementValue(lineText.c_str()),
                                zelcore::config::ReplacementValue(what.c_str()), zelcore::config::ReplacementValue(),
                                zelcore::config::ReplacementValue());
}

bool IsWordStart(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
bool IsWordChar(char c) { return IsWordStart(c) || (c >= '0' && c <= '9'); }

// The named escapes a string may hold, as UTF-8.
const char* Escape(const std::string& name) {
    if (name == "ldquo") return "\xE2\x80\x9C";
    if (name == "rdquo") return "\xE2\x80\x9D";
    if (name == "lsquo") return "\xE2\x80\x98";
    if (name == "rsquo") return "\xE2\x80\x99";
    return nullptr;
}

class Parser {
public:
    explicit Parser(const std::string& text) : text_(text) {}

    std::vector<TamoElement> Script() {
        std::vector<TamoElement> elements;
        SkipBlanks();
        while (at_ < text_.size()) {
            elements.push_back(Element());
            SkipBlanks();
        }
        return elements;
    }

private:
    char Peek() const { return at_ < text_.size() ? text_[at_] : '\0'; }

    void SkipBlanks() {
        while (at_ < text_.size()) {
            const char c = text_[at_];
            if (c == '\n') {
                ++line_;
                ++at_;
            } else if (c == ' ' || c == '\t' || c == '\r') {
                ++at_;
            } else if (c == '/' && at_ + 1 < text_.size() && text_[at_ + 1] == '/') {
                while (at_ < text_.size() && text_[at_] != '\n') ++at_;
            } else {
                return;
            }
        }
    }

    void Expect(char wanted) {
        SkipBlanks();
        if (Peek() != wanted) ScriptError(line_, std::string("expected '") + wanted + "' but found " + Found());
        ++at_;
    }

    std::string Found() const {
        if (at_ >= text_.size()) return "the end of the script";
        return std::string("'") + text_[at_] + "'";
    }

    std::string Word() {
        SkipBlanks();
        if (!IsWordStart(Peek())) ScriptError(line_, "expected a word but found " + Found());
        const std::size_t start = at_;
        while (IsWordChar(Peek())) ++at_;
        return text_.substr(start, at_ - start);
    }

    TamoElement Element() {
        if (++depth_ > 64) ScriptError(line_, "elements nested too deeply");
        TamoElement element;
        element.line = line_;
        element.words.push_back(Word());
        SkipBlanks();
        while (IsWordStart(Peek())) {
            element.words.push_back(Word());
            SkipBlanks();
        }
        if (Peek() == '(') {
            ++at_;
            SkipBlanks();
            if (Peek() != ')') {
                for (;;) {
                    TamoAttribute attribute;
                    attribute.name = Word();
                    Expect(':');
                    attribute.value = Value();
                    element.attributes.push_back(std::move(attribute));
                    SkipBlanks();
                    if (Peek() != ',') break;
                    ++at_;
                }
            }
            Expect(')');
            SkipBlanks();
        }
        if (Peek() == ';') {
            ++at_;
            element.leaf = true;
        } else if (Peek() == '{') {
            ++at_;
            SkipBlanks();
            while (Peek() != '}') {
                if (at_ >= text_.size()) ScriptError(line_, "a block is not closed");
                element.children.push_back(Element());
                SkipBlanks();
            }
            ++at_;
        } else {
            ScriptError(line_, "expected ';' or a block after '" + element.words.front() + "' but found " + Found());
        }
        --depth_;
        return element;
    }

    TamoValue Value() {
        SkipBlanks();
        TamoValue value;
        const char c = Peek();
        if (c == '"') {
            value.kind = TamoValue::string;
            StringValue(&value);
        } else if (c == '\'') {
            value.kind = TamoValue::name;
            ++at_;
            const std::size_t start = at_;
            while (at_ < text_.size() && text_[at_] != '\'' && text_[at_] != '\n') ++at_;
            if (Peek() != '\'') ScriptError(line_, "a quoted name is not closed");
            value.text = text_.substr(start, at_ - start);
            ++at_;
        } else if (c == '@') {
            ++at_;
            value.kind = TamoValue::enumeration;
            value.text = Word();
        } else if ((c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.') {
            value.kind = TamoValue::numeral;
            const std::size_t start = at_;
            ++at_;
            while ((Peek() >= '0' && Peek() <= '9') || Peek() == '.') ++at_;
            value.text = text_.substr(start, at_ - start);
            char* end = nullptr;
            value.number = std::strtod(value.text.c_str(), &end);
            if (end != value.text.c_str() + value.text.size()) ScriptError(line_, "'" + value.text + "' is no number");
        } else if (IsWordStart(c)) {
            value.kind = TamoValue::boolean;
            value.text = Word();
            if (value.text != "true" && value.text != "false") {
                ScriptError(line_, "'" + value.text + "' is no value (strings are quoted, enumerations start with @)");
            }
            value.truth = value.text == "true";
        } else {
            ScriptError(line_, "expected a value but found " + Found());
        }
        return value;
    }

    // A double-quoted string; "$$$/key=text" gives the key and the default text.
    void StringValue(TamoValue* value) {
        ++at_;
        std::string raw;
        for (;;) {
            if (at_ >= text_.size() || text_[at_] == '\n') ScriptError(line_, "a string is not closed");
            const char c = text_[at_++];
            if (c == '"') break;
            if (c == '#' && Peek() == '{') {
                const std::size_t close = text_.find('}', at_);
                if (close == std::string::npos) ScriptError(line_, "an escape is not closed");
                const std::string name = text_.substr(at_ + 1, close - at_ - 1);
                const char* replacement = Escape(name);
                if (replacement == nullptr) ScriptError(line_, "unknown escape #{" + name + "}");
                raw += replacement;
                at_ = close + 1;
            } else {
                raw += c;
            }
        }
        if (raw.rfind("$$$/", 0) == 0) {
            const std::size_t equals = raw.find('=');
            value->key = raw.substr(0, equals);
            value->text = equals == std::string::npos ? std::string() : raw.substr(equals + 1);
        } else {
            value->text = raw;
        }
    }

    const std::string& text_;
    std::size_t at_ = 0;
    int line_ = 1;
    int depth_ = 0;
};

// Builds the nodes of one element and its children into parent.
class Builder {
public:
    void Children(const TamoElement& element, ui::UI_Node* parent) {
        for (const TamoElement& child : element.children) Build(child, parent);
    }

    IntrusivePtr<ui::UI_Node> Node(const TamoElement& element) {
        const std::string& keyword = element.words.front();
        if (keyword == "group") return MakeCounted<ui::UI_Group>();
        if (keyword == "row") return MakeCounted<ui::UI_Row>();
        if (keyword == "column") return MakeCounted<ui::UI_Column>();
        if (keyword == "static_text") return MakeCounted<ui::UI_StaticText>();
        if (keyword == "popup") return MakeCounted<ui::UI_Popup>();
        if (keyword == "radiogroup") return MakeCounted<ui::UI_RadioGroup>();
        if (keyword == "radio_button") return MakeCounted<ui::UI_RadioButton>();
        if (keyword == "slider") return RangeControl<ui::UI_Slider>(element);
        if (keyword == "inline_edit_number") return RangeControl<ui::UI_HotTextNumber>(element);
        ScriptError(element.line, "unknown element '" + keyword + "'");
    }

    void Build(const TamoElement& element, ui::UI_Node* parent) {
        const std::string& keyword = element.words.front();
        if (keyword == "ok_cancel_row") {
            OkCancelRow(element, parent);
            return;
        }
        if (keyword == "popup_item") {
            auto* popup = dynamic_cast<ui::UI_Popup*>(parent);
            if (popup == nullptr) ScriptError(element.line, "popup_item outside a popup");
            const TamoValue* name = element.Attribute("name");
            popup->AddItem(name != nullptr ? name->text : std::string(), name != nullptr ? name->key : std::string());
            return;
        }
        IntrusivePtr<ui::UI_Node> node = Node(element);
        Describe(element, node.get());
        // A named control carries its name as a label of its own, placed before it: "<id>_label".
        const bool labelled = dynamic_cast<ui::UI_ControlView*>(node.get()) != nullptr &&
                              dynamic_cast<ui::UI_RadioGroup*>(node.get()) == nullptr && !node->Text().empty();
        if (labelled) {
            auto label = MakeCounted<ui::UI_StaticText>();
            label->SetText(node->Text(), node->TextKey());
            if (!node->Identifier().empty()) {
                Register(element, node->Identifier() + "_label");
                label->SetIdentifier(node->Identifier() + "_label");
                label->SetLabelledIdentifier(node->Identifier());
            }
            parent->AppendChild(label);
        }
        parent->AppendChild(node);
        if (element.leaf) return;
        Children(element, node.get());
    }

    void Describe(const TamoElement& element, ui::UI_Node* node) {
        for (const TamoAttribute& attribute : element.attributes) {
            if (attribute.name == "identifier") {
                Register(element, attribute.value.text);
                node->SetIdentifier(attribute.value.text);
            } else if (attribute.name == "name") {
                node->SetText(attribute.value.text, attribute.value.key);
            } else {
                node->SetHint(attribute.name, attribute.value.text);
            }
        }
    }

    void Register(const TamoElement& element, const std::string& identifier) {
        for (const std::string& known : identifiers_) {
            if (known == identifier) ScriptError(element.line, "the identifier '" + identifier + "' is given twice");
        }
        identifiers_.push_back(identifier);
    }

private:
    template <class Control>
    IntrusivePtr<ui::UI_Node> RangeControl(const TamoElement& element) {
        auto control = MakeCounted<Control>();
        const TamoValue* low = element.Attribute("min_value");
        const TamoValue* high = element.Attribute("max_value");
        if (low == nullptr || high == nullptr || low->kind != TamoValue::numeral || high->kind != TamoValue::numeral ||
            low->number > high->number) {
            ScriptError(element.line, "'" + element.words.front() + "' needs numbers min_value <= max_value");
        }
        control->SetRange(low->number, high->number);
        control->SetDoubleValue(low->number);
        return control;
    }

    void OkCancelRow(const TamoElement& element, ui::UI_Node* parent) {
        auto row = MakeCounted<ui::UI_Row>();
        row->SetHint("role", "ok_cancel");
        const struct {
            const char* identifier;
            const char* text;
        } buttons[] = {{"okButton", "OK"}, {"cancelButton", "Cancel"}};
        for (const auto& made : buttons) {
            Register(element, made.identifier);
            auto button = MakeCounted<ui::UI_Button>();
            button->SetIdentifier(made.identifier);
            button->SetText(made.text);
            row->AppendChild(button);
        }
        parent->AppendChild(row);
    }

    std::vector<std::string> identifiers_;
};

}  // namespace

const TamoValue* TamoElement::Attribute(const std::string& name) const {
    for (const TamoAttribute& attribute : attributes) {
        if (attribute.name == name) return &attribute.value;
    }
    return nullptr;
}

std::vector<TamoElement> ParseTamoText(const std::string& text) { return Parser(text).Script(); }

IntrusivePtr<zelui::tamocontracts::UI_TamoDialogBase> BuildTamoDialog(const std::vector<TamoElement>& script) {
    if (script.size() != 1 || script[0].words.size() != 2 || script[0].words[0] != "layout" ||
        script[0].words[1] != "zeltamo_dialog" || script[0].leaf) {
        ScriptError(script.empty() ? 1 : script[0].line, "the script must be one 'layout zeltamo_dialog' block");
    }
    const TamoElement& layout = script[0];
    if (layout.children.size() != 1 || layout.children[0].words.size() != 2 || layout.children[0].words[0] != "view" ||
        layout.children[0].words[1] != "dialog" || layout.children[0].leaf) {
        ScriptError(layout.line, "the layout must hold one 'view dialog' block");
    }
    const TamoElement& view = layout.children[0];
    auto dialog = MakeCounted<zelui::tamocontracts::UI_TamoDialogBase>();
    Builder builder;
    builder.Describe(view, dialog.get());
    builder.Children(view, dialog.get());
    return dialog;
}

}  // namespace zeltamofactory
