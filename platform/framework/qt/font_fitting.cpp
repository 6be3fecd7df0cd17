// SPDX-License-Identifier: MIT
// StaticText's fonts: the Mac's font names on the desktop, and texts fitted to their lines.

#include "qt_internal.h"
#include "qt_widgets.h"
#include "window.h"

#include <QApplication>
#include <QFont>
#include <QFontMetricsF>
#include <QLabel>

#include <algorithm>
#include <utility>

// "System" is the desktop's font, "SmallSystem" a size smaller; TextSize 0 keeps the size.
void StaticText::ApplyFont()
{
    QWidget* label = QtWidgetOf(*this);
    QFont font = QApplication::font();
    if (mTextFont == "SmallSystem")
        font.setPointSizeF(std::max(6.0, font.pointSizeF() - 2.0));
    else if (!mTextFont.empty() && mTextFont != "System")
        font.setFamily(ToQString(mTextFont));
    if (mTextSize > 0) font.setPointSize(mTextSize);
    QFont current = label->font();
    font.setBold(current.bold());
    font.setItalic(current.italic());
    font.setUnderline(current.underline());
    label->setFont(font);
    FitLines();
}

namespace {

// Texts are laid out for the Mac's system font; where the desktop's font runs wider, the
// system size steps down so that each line of a text keeps to one row instead of wrapping.
void FitLabelLines(QLabel& label)
{
    const QStringList lines = label.text().split(QLatin1Char('\n'));
    const qreal room = label.contentsRect().width() - 2 * label.margin();
    auto widest = [&](const QFont& font) {
        QFontMetricsF metrics(font);
        qreal width = 0;
        for (const QString& line : lines) width = std::max(width, metrics.horizontalAdvance(line));
        return width;
    };
    QFont font = label.font();
    constexpr qreal kSmallestLegible = 7.0;
    while (widest(font) > room && font.pointSizeF() - 0.5 >= kSmallestLegible)
        font.setPointSizeF(font.pointSizeF() - 0.5);
    label.setFont(font);
}

// Fits its lines when it is first shown: until then the properties, set one by one, change its
// text and font several times, and each fit measures the text at several sizes.
class FittedLabel : public QLabel {
public:
    using QLabel::QLabel;
    bool fitPending = false;

protected:
    void showEvent(QShowEvent* event) override
    {
        if (std::exchange(fitPending, false)) FitLabelLines(*this);
        QLabel::showEvent(event);
    }
};

}  // namespace

QLabel* NewFittedLabel(QWidget* parent)
{
    return new FittedLabel(parent);
}

void StaticText::FitLines()
{
    auto* label = dynamic_cast<FittedLabel*>(QtWidgetOf(*this));
    if (!label) return;
    label->fitPending = false;
    if (mTextSize > 0 || mText.empty() || label->width() <= 0) return;
    if (label->isVisible())
        FitLabelLines(*label);
    else
        label->fitPending = true;
}
