// The two dialog templates as data, and the conversion of their dialog
// units to pixels. A dialog unit is a quarter of the font's average
// character width across and an eighth of its height down, so the layout
// keeps its proportions whatever font the desktop substitutes.
#pragma once

#include <QFont>
#include <QRect>

namespace korvanel {

enum class ControlKind { Static, Edit, MultiLineEdit, ComboBox, PushButton, CheckBox, DefPushButton, Icon };

struct ControlTemplate {
    int id;
    ControlKind kind;
    const char* text;
    bool visible;
    bool enabled;
    bool tabStop;
    int x, y, width, height;  // dialog units
};

// Template 102, in template order (which is the tab order).
extern const ControlTemplate MAIN_DIALOG_CONTROLS[];
extern const int MAIN_DIALOG_CONTROL_COUNT;
constexpr int MAIN_DIALOG_WIDTH_DU = 191;
constexpr int MAIN_DIALOG_HEIGHT_DU = 92;
extern const char* const MAIN_DIALOG_CAPTION;  // "Korvanel"

// Template 100.
extern const ControlTemplate ABOUT_DIALOG_CONTROLS[];
extern const int ABOUT_DIALOG_CONTROL_COUNT;
constexpr int ABOUT_DIALOG_WIDTH_DU = 235;
constexpr int ABOUT_DIALOG_HEIGHT_DU = 55;
extern const char* const ABOUT_DIALOG_CAPTION;  // "About Korvanel"

// Both templates ask for 8-point "MS Sans Serif"; where it is missing the
// nearest sans-serif face stands in.
QFont DialogFont();

struct DialogBaseUnits {
    int x = 0;  // average character width, pixels
    int y = 0;  // character height, pixels
};

DialogBaseUnits BaseUnitsOf(const QFont& font);

// Edges: x * base.x / 4 and y * base.y / 8, each rounded to the nearest pixel.
QRect DialogUnitsToPixels(const QRect& units, DialogBaseUnits base);

} // namespace korvanel
