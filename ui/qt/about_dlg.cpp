#include "about_dlg.h"

#include <QLabel>
#include <QPushButton>

#include "clear_dialog_qt.h"
#include "dialog_template.h"

namespace korvanel {

namespace {

// Icon group 128's large image.
constexpr int ICON_PIXELS = 32;

} // namespace

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent, DialogWindowFlags(ABOUT_DIALOG_STYLE))
{
    setWindowTitle(ABOUT_DIALOG_CAPTION);
    const QFont font = DialogFont();
    setFont(font);
    const DialogBaseUnits base = BaseUnitsOf(font);
    setFixedSize(
        DialogUnitsToPixels(QRect(0, 0, ABOUT_DIALOG_WIDTH_DU, ABOUT_DIALOG_HEIGHT_DU), base)
            .size());

    for (int i = 0; i < ABOUT_DIALOG_CONTROL_COUNT; ++i) {
        const ControlTemplate& t = ABOUT_DIALOG_CONTROLS[i];
        const QRect rect = DialogUnitsToPixels(QRect(t.x, t.y, t.width, t.height), base);
        switch (t.kind) {
        case ControlKind::Icon: {
            // The control keeps the template's size; the 32 x 32 icon is
            // drawn centred in it.
            auto* icon = new QLabel(this);
            icon->setObjectName("aboutIcon");
            icon->setPixmap(ApplicationIcon().pixmap(ICON_PIXELS, ICON_PIXELS));
            icon->setAlignment(Qt::AlignCenter);
            icon->setGeometry(rect);
            break;
        }
        case ControlKind::DefPushButton: {
            auto* ok = new QPushButton(QString::fromUtf8(t.text), this);
            ok->setDefault(true);
            ok->setGeometry(rect);
            connect(ok, &QPushButton::clicked, this, &QDialog::accept);
            break;
        }
        default: {
            auto* label = new QLabel(QString::fromUtf8(t.text), this);
            label->setTextFormat(Qt::PlainText);
            label->setGeometry(rect);
            break;
        }
        }
    }
}

} // namespace korvanel
