// The window library: a Qt dialog made from the node tree of a layout-script dialog. Groups,
// rows and columns become Qt layouts; each control becomes its Qt widget and passes the user's
// input to its node as user input (so the module hears of it), and after every input all widgets
// are shown again from their nodes, whose values the module may have changed from code.
#include "host/kvhost/window_library.h"

#include <QApplication>
#include <QButtonGroup>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDoubleSpinBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalBlocker>
#include <QSlider>
#include <QTimer>
#include <QVBoxLayout>
#include <exception>
#include <memory>
#include <type_traits>

namespace kvhost {
namespace {

namespace ui = zelui::ui;
using zelcore::utility::IntrusivePtr;

// Slider positions are tenths, so that a drag passes through fractions.
constexpr int kSliderSteps = 10;

QString Text(const std::string& utf8) { return QString::fromUtf8(utf8.c_str()); }

Qt::Alignment HorizontalAlignment(const ui::UI_Node& node) {
    const std::string hint = node.Hint("horizontal");
    if (hint == "align_center") return Qt::AlignHCenter;
    if (hint == "align_right") return Qt::AlignRight;
    if (hint == "align_left") return Qt::AlignLeft;
    return {};
}

// A number field that shows whole values without a decimal point and fractions with one.
class NumberBox : public QDoubleSpinBox {
public:
    QString textFromValue(double value) const override { return locale().toString(value, 'g', 4); }
};

class DialogWindow : public QDialog {
public:
    explicit DialogWindow(ui::UI_Dialog& model) : model_(model) {
        setWindowTitle(Text(model.Text()));
        setObjectName(Text(model.Identifier()));
        auto* layout = new QVBoxLayout(this);
        layout->setSizeConstraint(QLayout::SetFixedSize);
        AddChildren(model, layout);
        Refresh();
    }

    void accept() override { Press(model_.OkButton(), ui::UI_Dialog::resultOk); }
    void reject() override { Press(model_.CancelButton(), ui::UI_Dialog::resultCancel); }

    std::exception_ptr failure;

private:
    // A button of the dialog, or the way the user dismissed the window.
    void Press(ui::UI_Button* button, int32_t result) {
        Act([&] {
            if (button != nullptr) button->UserPress();
            if (!model_.IsClosed()) model_.Close(result);
        });
    }

    // Runs the user's input on the model. An error from the module's handlers cannot travel
    // through Qt's event loop: it closes the window and is raised again once the loop has ended.
    template <class Input>
    void Act(Input input) {
        if (refreshing_ || failure) return;
        try {
            input();
        } catch (...) {
            failure = std::current_exception();
            if (!model_.IsClosed()) model_.Close(ui::UI_Dialog::resultCancel);
        }
        if (model_.IsClosed()) {
            done(model_.GetDialogResult() == ui::UI_Dialog::resultOk ? Accepted : Rejected);
            return;
        }
        Refresh();
    }

    void Refresh() {
        refreshing_ = true;
        for (const auto& refresh : refreshers_) refresh();
        refreshing_ = false;
    }

    void Keep(ui::UI_Node& node, QWidget* widget, std::function<void()> show = nullptr) {
        widget->setObjectName(Text(node.Identifier()));
        refreshers_.push_back([&node, widget, show] {
            const QSignalBlocker quiet(widget);
            if (show) show();
            widget->setEnabled(!node.IsInactive());
        });
    }

    void AddChildren(ui::UI_Node& parent, QBoxLayout* layout) {
        const auto& children = parent.Children();
        for (std::size_t index = 0; index < children.size(); ++index) {
            ui::UI_Node& child = *children[index];
            // A radio group's own buttons are made with the group.
            if (dynamic_cast<ui::UI_RadioButton*>(&child) != nullptr) continue;
            auto* label = dynamic_cast<ui::UI_StaticText*>(&child);
            // A control's label stands beside it.
            if (label != nullptr && !label->LabelledIdentifier().empty() && index + 1 < children.size() &&
                children[index + 1]->Identifier() == label->LabelledIdentifier()) {
                ui::UI_Node& control = *children[++index];
                auto* pair = new QHBoxLayout;
                QLabel* shown = MakeLabel(*label);
                QWidget* widget = MakeWidget(control);
                shown->setBuddy(widget);
                pair->addWidget(shown);
                pair->addWidget(widget);
                auto* holder = new QWidget;
                holder->setLayout(pair);
                pair->setContentsMargins(0, 0, 0, 0);
                layout->addWidget(holder, 0, HorizontalAlignment(control));
                continue;
            }
            if (auto* row = dynamic_cast<ui::UI_Row*>(&child); row != nullptr && row->Hint("role") == "ok_cancel") {
                layout->addWidget(MakeButtonBox(*row));
                continue;
            }
            layout->addWidget(MakeWidget(child), 0, HorizontalAlignment(child));
        }
    }

    QLabel* MakeLabel(ui::UI_StaticText& text) {
        auto* label = new QLabel(Text(text.Text()));
        Keep(text, label);
        return label;
    }

    QWidget* MakeWidget(ui::UI_Node& node) {
        if (auto* text = dynamic_cast<ui::UI_StaticText*>(&node)) {
            QLabel* label = MakeLabel(*text);
            label->setAlignment(HorizontalAlignment(node) | Qt::AlignVCenter);
            return label;
        }
        if (auto* number = dynamic_cast<ui::UI_HotTextNumber*>(&node)) {
            auto* box = new NumberBox;
            box->setRange(number->Minimum(), number->Maximum());
            box->setDecimals(1);
            box->setSingleStep(1.0);
            box->setKeyboardTracking(true);
            QObject::connect(box, &QDoubleSpinBox::valueChanged, this, [this, number](double value) {
                Act([&] { number->UserStep(value); });
            });
            QObject::connect(box, &QDoubleSpinBox::editingFinished, this, [this, number] {
                Act([&] { number->UserEnd(); });
            });
            Keep(node, box, [box, number] { box->setValue(number->GetDoubleValue()); });
            return box;
        }
        if (auto* slider = dynamic_cast<ui::UI_Slider*>(&node)) {
            auto* bar = new QSlider(Qt::Horizontal);
            bar->setRange(static_cast<int>(slider->Minimum() * kSliderSteps),
                          static_cast<int>(slider->Maximum() * kSliderSteps));
            bar->setSingleStep(kSliderSteps);
            bar->setPageStep(kSliderSteps);
            bar->setTickPosition(QSlider::TicksBelow);
            bar->setTickInterval(kSliderSteps);
            const int length = std::atoi(node.Hint("minLength").c_str());
            if (length > 0) bar->setMinimumWidth(length);
            QObject::connect(bar, &QSlider::valueChanged, this, [this, bar, slider](int position) {
                Act([&] {
                    slider->UserStep(static_cast<double>(position) / kSliderSteps);
                    // Keys move the slider in whole steps, each one a finished change.
                    if (!bar->isSliderDown()) slider->UserEnd();
                });
            });
            QObject::connect(bar, &QSlider::sliderReleased, this, [this, slider] { Act([&] { slider->UserEnd(); }); });
            Keep(node, bar, [bar, slider] {
                if (!bar->isSliderDown()) bar->setValue(static_cast<int>(slider->GetDoubleValue() * kSliderSteps));
            });
            return bar;
        }
        if (auto* popup = dynamic_cast<ui::UI_Popup*>(&node)) {
            auto* combo = new QComboBox;
            for (int32_t item = 0; item < popup->ItemCount(); ++item) combo->addItem(Text(popup->ItemText(item)));
            QObject::connect(combo, &QComboBox::activated, this, [this, popup](int item) {
                Act([&] { popup->UserChoose(item); });
            });
            Keep(node, combo, [combo, popup] { combo->setCurrentIndex(static_cast<int>(popup->GetValue())); });
            return combo;
        }
        if (auto* group = dynamic_cast<ui::UI_RadioGroup*>(&node)) {
            auto* holder = new QWidget;
            auto* layout = new QVBoxLayout(holder);
            layout->setContentsMargins(0, 0, 0, 0);
            auto* buttons = new QButtonGroup(holder);
            std::vector<QRadioButton*> shown;
            for (const IntrusivePtr<ui::UI_Node>& child : node.Children()) {
                if (dynamic_cast<ui::UI_RadioButton*>(child.get()) == nullptr) continue;
                auto* radio = new QRadioButton(Text(child->Text()));
                radio->setObjectName(Text(node.Identifier() + "/" + std::to_string(shown.size())));
                buttons->addButton(radio, static_cast<int>(shown.size()));
                layout->addWidget(radio);
                shown.push_back(radio);
            }
            // What else the group holds stands under its buttons.
            auto* others = new QVBoxLayout;
            others->setContentsMargins(0, 0, 0, 0);
            AddChildren(node, others);
            layout->addLayout(others);
            QObject::connect(buttons, &QButtonGroup::idClicked, this, [this, group](int index) {
                Act([&] { group->UserChoose(index); });
            });
            Keep(node, holder, [shown, group] {
                const long long index = group->GetIndex();
                for (std::size_t at = 0; at < shown.size(); ++at) {
                    const QSignalBlocker quiet(shown[at]);
                    shown[at]->setChecked(static_cast<long long>(at) == index);
                }
            });
            return holder;
        }
        if (auto* button = dynamic_cast<ui::UI_Button*>(&node)) {
            auto* push = new QPushButton(Text(node.Text()));
            QObject::connect(push, &QPushButton::clicked, this, [this, button] { Act([&] { button->UserPress(); }); });
            Keep(node, push);
            return push;
        }
        // Groups, rows, columns and anything else that only holds other nodes.
        QWidget* holder;
        QBoxLayout* layout;
        if (dynamic_cast<ui::UI_Row*>(&node) != nullptr || node.Hint("placement") == "place_row") {
            layout = new QHBoxLayout;
        } else {
            layout = new QVBoxLayout;
        }
        if (dynamic_cast<ui::UI_Group*>(&node) != nullptr) {
            holder = new QGroupBox(Text(node.Text()));
        } else {
            holder = new QWidget;
            layout->setContentsMargins(0, 0, 0, 0);
        }
        const int spacing = std::atoi(node.Hint("spacing").c_str());
        if (spacing > 0) layout->setSpacing(spacing);
        holder->setLayout(layout);
        AddChildren(node, layout);
        Keep(node, holder);
        return holder;
    }

    // OK and Cancel as the platform places them; Enter is OK, Escape is Cancel.
    QWidget* MakeButtonBox(ui::UI_Row& row) {
        auto* box = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
        for (const IntrusivePtr<ui::UI_Node>& child : row.Children()) {
            const bool ok = child->Identifier() == "okButton";
            QPushButton* button = box->button(ok ? QDialogButtonBox::Ok : QDialogButtonBox::Cancel);
            button->setText(Text(child->Text()));
            Keep(*child, button);
        }
        QObject::connect(box, &QDialogButtonBox::accepted, this, &QDialog::accept);
        QObject::connect(box, &QDialogButtonBox::rejected, this, &QDialog::reject);
        return box;
    }

    ui::UI_Dialog& model_;
    bool refreshing_ = false;
    std::vector<std::function<void()>> refreshers_;
};

}  // namespace

}  // namespace kvhost

// The library's one entry point (see window_library.h).
extern "C" __attribute__((visibility("default"))) void KvhostShowWindow(const kvhost::WindowRequest& request,
                                                                        kvhost::WindowOutcome* outcome) {
    using namespace kvhost;
    static_assert(std::is_same_v<decltype(&KvhostShowWindow), ShowWindowProc>);
    static int argc = 1;
    static char name[] = "kvhost";
    static char* argv[] = {name, nullptr};
    std::unique_ptr<QApplication> application;
    if (QApplication::instance() == nullptr) application = std::make_unique<QApplication>(argc, argv);

    DialogWindow window(*request.dialog);
    if (!request.screenshotPath.empty()) {
        QTimer::singleShot(0, &window, [&request, outcome, &window] {
            if (!window.grab().save(QString::fromStdString(request.screenshotPath), "PNG")) {
                outcome->problem = request.screenshotPath + ": the picture cannot be saved";
            }
            window.reject();
        });
    } else if (request.onShown) {
        QTimer::singleShot(0, &window, [&request, &window] { request.onShown(window); });
    }
    window.exec();
    outcome->failure = window.failure;
}
