#include "dialog_template.h"

#include <QFontMetrics>
#include <QStringList>

namespace korvanel {

QFont DialogFont()
{
    QFont font;
    font.setFamilies(QStringList{QString::fromUtf8(MAIN_DIALOG_FONT_FACE),
                                QStringLiteral("Microsoft Sans Serif"), QStringLiteral("DejaVu Sans"),
                                QStringLiteral("Liberation Sans")});
    font.setStyleHint(QFont::SansSerif);
    font.setPointSize(MAIN_DIALOG_FONT_POINTS);
    return font;
}

DialogBaseUnits BaseUnitsOf(const QFont& font)
{
    const QFontMetrics metrics(font);
    // The average width is taken over the 52 letters and rounded, as the
    // dialog manager does: (width / 26 + 1) / 2.
    const int letters =
        metrics.horizontalAdvance("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    return {(letters / 26 + 1) / 2, metrics.height()};
}

namespace {

int Scale(int units, int base, int divisor)
{
    // Rounded to nearest, halves away from zero, as MulDiv does.
    const long long product = static_cast<long long>(units) * base;
    const long long half = divisor / 2;
    return static_cast<int>(product >= 0 ? (product + half) / divisor : (product - half) / divisor);
}

} // namespace

QRect DialogUnitsToPixels(const QRect& units, DialogBaseUnits base)
{
    // Edges are converted, not sizes, so neighbours that touch in dialog
    // units still touch in pixels.
    const int left = Scale(units.x(), base.x, 4);
    const int top = Scale(units.y(), base.y, 8);
    const int right = Scale(units.x() + units.width(), base.x, 4);
    const int bottom = Scale(units.y() + units.height(), base.y, 8);
    return QRect(left, top, right - left, bottom - top);
}

} // namespace korvanel
