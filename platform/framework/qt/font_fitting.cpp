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

// Texts are laid out for the Mac's system font; where the desktop's font runs wider, the
// system size steps down so that each line of a text keeps to one row instead of wrapping.
void StaticText::FitLines()
{
    auto* label = qobject_cast<QLabel*>(QtWidgetOf(*this));
    if (!label || mTextSize > 0 || mText.empty() || label->width() <= 0) return;
    const QStringList lines = ToDisplayText(mText).split(QLatin1Char('\n'));
    const qreal room = label->contentsRect().width() - 2 * label->margin();
    auto widest = [&](const QFont& font) {
        QFontMetricsF metrics(font);
        qreal width = 0;
        for (const QString& line : lines) width = std::max(width, metrics.horizontalAdvance(line));
        return width;
    };
    QFont font = label->font();
    constexpr qreal kSmallestLegible = 7.0;
    while (widest(font) > room && font.pointSizeF() - 0.5 >= kSmallestLegible)
        font.setPointSizeF(font.pointSizeF() - 0.5);
    label->setFont(font);
}
