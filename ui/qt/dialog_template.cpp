#include "dialog_template.h"

#include <QFontMetrics>
#include <QStringList>

#include "korvanel_version.h"
#include "resource.h"

namespace korvanel {

// The OK button of the About box: the standard dialog command id.
constexpr int ID_OK = 1;

const ControlTemplate MAIN_DIALOG_CONTROLS[] = {
    {IDC_LENGTH_LABEL, ControlKind::Static, "Len/Data:", false, true, false, 96, 65, 38, 8},
    {IDC_PORT_LABEL, ControlKind::Static, "COMPort:", true, true, false, 10, 17, 33, 8},
    {IDC_ADDRESS_LABEL, ControlKind::Static, "INV CommAddr:", true, true, false, 83, 17, 53, 8},
    {IDC_REGISTER_LABEL, ControlKind::Static, "RegAddr:", false, true, false, 26, 63, 31, 8},
    {IDC_PORT_NAME, ControlKind::Edit, "", true, true, true, 44, 14, 28, 14},
    {IDC_INVERTER_ADDRESS, ControlKind::Edit, "", true, true, true, 139, 14, 28, 14},
    {IDC_REGISTER_ADDRESS, ControlKind::Edit, "", false, true, true, 59, 60, 28, 14},
    {IDC_LENGTH_OR_DATA, ControlKind::Edit, "", false, true, true, 83, 63, 37, 14},
    {IDC_FUNCTION_SELECTOR, ControlKind::ComboBox, "", false, true, true, 38, 65, 77, 101},
    {IDC_RESULT_TEXT, ControlKind::MultiLineEdit, "", false, true, true, 13, 63, 139, 22},
    {IDC_RUN_BUTTON, ControlKind::PushButton, "Clear", true, true, true, 67, 56, 49, 22},
    {IDC_NOTE, ControlKind::Static, "Note:  Please Disconnect AC First.", true, true, false, 10, 36, 137, 8},
    {IDC_POLL_PERIOD, ControlKind::Edit, "", false, true, true, 14, 60, 33, 14},
    {IDC_READ_SINGLE_TIME, ControlKind::CheckBox, "ReadSingleTime", false, true, true, 54, 60, 72, 10},
    {IDC_PARAM_SELECTOR, ControlKind::ComboBox, "", false, true, true, 26, 60, 79, 174},
    {IDC_PARAM_LABEL, ControlKind::Static, "ParameterData:", false, true, false, 46, 63, 57, 8},
    {IDC_PARAMETER_DATA, ControlKind::Edit, "", false, true, true, 31, 63, 76, 14},
    {IDC_HEX_VIEW, ControlKind::CheckBox, "HexView", false, false, true, 57, 63, 44, 10},
    {IDC_LOCAL_VERSION, ControlKind::Static, "LocalVS:??", false, true, false, 79, 63, 64, 8},
};
const int MAIN_DIALOG_CONTROL_COUNT =
    static_cast<int>(sizeof MAIN_DIALOG_CONTROLS / sizeof MAIN_DIALOG_CONTROLS[0]);
const char* const MAIN_DIALOG_CAPTION = "Korvanel";

const ControlTemplate ABOUT_DIALOG_CONTROLS[] = {
    {IDR_MAINFRAME, ControlKind::Icon, "", true, true, false, 11, 17, 20, 20},
    {IDC_STATIC, ControlKind::Static, "", true, true, false, 40, 10, 119, 8},
    {IDC_STATIC, ControlKind::Static, KORVANEL_ABOUT_VERSION_LINE, true, true, false, 40, 25, 119, 8},
    {ID_OK, ControlKind::DefPushButton, "OK", true, true, true, 178, 7, 50, 14},
};
const int ABOUT_DIALOG_CONTROL_COUNT =
    static_cast<int>(sizeof ABOUT_DIALOG_CONTROLS / sizeof ABOUT_DIALOG_CONTROLS[0]);
const char* const ABOUT_DIALOG_CAPTION = "About Korvanel";

QFont DialogFont()
{
    QFont font;
    font.setFamilies(QStringList{QStringLiteral("MS Sans Serif"), QStringLiteral("Microsoft Sans Serif"),
                                QStringLiteral("DejaVu Sans"), QStringLiteral("Liberation Sans")});
    font.setStyleHint(QFont::SansSerif);
    font.setPointSize(8);
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
