// The two dialog templates as data, and the conversion of their dialog
// units to pixels. A dialog unit is a quarter of the font's average
// character width across and an eighth of its height down, so the layout
// keeps its proportions whatever font the desktop substitutes.
#pragma once

#include <QFont>
#include <QRect>

// Templates 100 and 102, generated from res/korvanel.rc at build time:
// MAIN_DIALOG_CONTROLS, ABOUT_DIALOG_CONTROLS, their sizes and captions.
#include "dialog_template_data.h"

namespace korvanel {

// The font the templates ask for (8-point "MS Sans Serif"); where it is
// missing the nearest sans-serif face stands in.
QFont DialogFont();

struct DialogBaseUnits {
    int x = 0; // average character width, pixels
    int y = 0; // character height, pixels
};

DialogBaseUnits BaseUnitsOf(const QFont& font);

// Edges: x * base.x / 4 and y * base.y / 8, each rounded to the nearest pixel.
QRect DialogUnitsToPixels(const QRect& units, DialogBaseUnits base);

// The frame a template's window style asks for: a title bar for
// WS_CAPTION, the system menu and close box for WS_SYSMENU, the minimise
// and maximise boxes for theirs; a dialog's help button never.
Qt::WindowFlags DialogWindowFlags(unsigned long style);

} // namespace korvanel
