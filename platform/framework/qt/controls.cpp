// SPDX-License-Identifier: MIT
// Controls placed in a window: the base class and StaticText.

#include "qt_internal.h"
#include "qt_widgets.h"
#include "runtime.h"
#include "window_internal.h"

#include <QLabel>
#include <QPointer>

struct Control::Impl {
    QPointer<QWidget> widget;  // owned by its window
};

namespace {

std::unique_ptr<Control::Impl> NewLabel(Window& owner)
{
    auto impl = std::make_unique<Control::Impl>();
    QLabel* label = NewFittedLabel(QtContentOf(owner));
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setTextFormat(Qt::PlainText);
    impl->widget = label;
    return impl;
}

}  // namespace

Control::Control(std::unique_ptr<Impl> impl) : mImpl(std::move(impl)) {}

Control::~Control() = default;

void Control::SetProperty(std::string_view name, const PropertyValue& value)
{
    QWidget* widget = mImpl->widget;
    if (!widget) return;
    QRect geometry = widget->geometry();
    if (name == "Name")
        mName = As<std::string>(name, value);
    else if (name == "Left")
        geometry.moveLeft(As<std::int32_t>(name, value));
    else if (name == "Top")
        geometry.moveTop(As<std::int32_t>(name, value));
    else if (name == "Width")
        geometry.setWidth(As<std::int32_t>(name, value));
    else if (name == "Height")
        geometry.setHeight(As<std::int32_t>(name, value));
    else if (name == "Enabled")
        widget->setEnabled(As<bool>(name, value));
    else if (name == "Visible")
        widget->setVisible(As<bool>(name, value));
    else if (name == "HelpTag")
        widget->setToolTip(ToDisplayText(As<std::string>(name, value)));
    widget->setGeometry(geometry);
    // Index, the Lock properties, TabPanelIndex, AutoDeactivate, the data binding and
    // InitialParent change nothing in a window of fixed size without tab panels.
}

StaticText::StaticText(Window& owner) : Control(NewLabel(owner)) {}

void StaticText::SetProperty(std::string_view name, const PropertyValue& value)
{
    auto* label = qobject_cast<QLabel*>(QtWidgetOf(*this));
    if (!label) return;
    if (name == "Text") {
        mText = As<std::string>(name, value);
        label->setText(ToDisplayText(mText));
        FitLines();
    } else if (name == "TextAlign") {
        const std::int32_t align = As<std::int32_t>(name, value);
        const Qt::Alignment horizontal = align == 1   ? Qt::AlignHCenter
                                         : align == 2 ? Qt::AlignRight
                                                      : Qt::AlignLeft;
        label->setAlignment(horizontal | Qt::AlignTop);
    } else if (name == "TextColor") {
        QPalette palette = label->palette();
        palette.setColor(QPalette::WindowText, ToQColor(As<Color>(name, value)));
        label->setPalette(palette);
    } else if (name == "Multiline") {
        label->setWordWrap(As<bool>(name, value));
    } else if (name == "TextFont") {
        mTextFont = As<std::string>(name, value);
        ApplyFont();
    } else if (name == "TextSize") {
        mTextSize = As<std::int32_t>(name, value);
        ApplyFont();
    } else if (name == "Bold" || name == "Italic" || name == "Underline") {
        QFont font = label->font();
        if (name == "Bold")
            font.setBold(As<bool>(name, value));
        else if (name == "Italic")
            font.setItalic(As<bool>(name, value));
        else
            font.setUnderline(As<bool>(name, value));
        label->setFont(font);
    } else {
        Control::SetProperty(name, value);
    }
}

void _SetProperties(Control& control, const PropertySet& properties)
{
    RuntimeRecordCall("_SetProperties " + control.Name());
    for (const auto& [name, value] : properties) control.SetProperty(name, value);
}

QWidget* QtWidgetOf(const Control& control)
{
    return control.Qt().widget;
}
