#include "dialog_template.h"

#include <QFontMetrics>
#include <QStringList>

namespace korvanel {

QFont DialogFont()
{
    QFont font;
    font.setFamilies(QStringList{QString::fromUtf8(MAIN_DIALOG_FONT_FACE),
                                 QStringLiteral("Microsoft Sans Serif"),
                                 QStringLiteral("DejaVu Sans"), QStringLiteral("Liberation Sans")});
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

Qt::WindowFlags DialogWindowFlags(unsigned long style)
{
    // WS_CAPTION, WS_SYSMENU, WS_MINIMIZEBOX and WS_MAXIMIZEBOX; the last
    // two share their bits with WS_GROUP and WS_TABSTOP, which a top-level
    // window never has.
    constexpr unsigned long caption = 0x00C00000, sysMenu = 0x00080000;
    constexpr unsigned long minimizeBox = 0x00020000, maximizeBox = 0x00010000;
    Qt::WindowFlags flags = Qt::Dialog | Qt::CustomizeWindowHint;
    if ((style & caption) == caption)
        flags |= Qt::WindowTitleHint;
    if (style & sysMenu)
        flags |= Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
    if (style & minimizeBox)
        flags |= Qt::WindowMinimizeButtonHint;
    if (style & maximizeBox)
        flags |= Qt::WindowMaximizeButtonHint;
    return flags;
}

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
