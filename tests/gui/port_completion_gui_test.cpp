// The port field offers the serial ports present while the user types, and
// the About box names the version the project is built as. The ports come
// from a device tree the test makes, so the offers do not depend on the
// adapters plugged into this machine.
#include <QAbstractItemView>
#include <QApplication>
#include <QCompleter>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include "about_dlg.h"
#include "gui_support.h"
#include "resource.h"
#include "korvanel_version.h"

#include <ostream>

// Failures show the paths, not QString's bytes.
void PrintTo(const QString& text, std::ostream* os) { *os << '"' << text.toStdString() << '"'; }

namespace korvanel {
namespace {

void MakeNode(const QString& path)
{
    QFile node(path);
    ASSERT_TRUE(node.open(QIODevice::WriteOnly)) << path.toStdString();
}

// What the completer's popup lists, top to bottom.
QStringList Offered(QCompleter* completer)
{
    QStringList offered;
    for (int row = 0; completer->setCurrentRow(row); ++row)
        offered << completer->currentCompletion();
    return offered;
}

TEST(PortCompletion, TypingOffersThePortsPresentAndPickingOneFillsTheField)
{
    QTemporaryDir dev;
    ASSERT_TRUE(dev.isValid());
    const QString root = dev.path();
    // A USB adapter and a modem-class device, their stable link, and nodes
    // that are no serial ports.
    ASSERT_TRUE(QDir(root).mkpath("serial/by-id"));
    for (const char* name : {"ttyUSB0", "ttyACM1", "null", "tty0", "ttyUSB"})
        MakeNode(root + "/" + name);
    const QString byId = root + "/serial/by-id/usb-FTDI_FT232R_USB_UART_A5XK3RJT-if00-port0";
    ASSERT_TRUE(QFile::link(root + "/ttyUSB0", byId));

    auto m = OpenMainDialog();
    m->window.setDeviceRoot(root.toStdString());
    auto* field = qobject_cast<QLineEdit*>(m->window.control(IDC_PORT_NAME));
    ASSERT_NE(field, nullptr);
    QCompleter* completer = m->window.portCompleter();
    ASSERT_NE(completer, nullptr);
    field->setFocus();

    struct Row {
        const char* typed;
        QStringList offered;
    };
    const Row rows[] = {
        {"usb", {root + "/ttyUSB", root + "/ttyUSB0", byId}},
        {"ACM", {root + "/ttyACM1"}},
        {"by-id", {byId}},
        {"ttyS", {}},
    };
    for (const Row& r : rows) {
        Type(field, r.typed);
        EXPECT_EQ(field->text(), r.typed) << "typing alone leaves the text as typed";
        EXPECT_EQ(Offered(completer), r.offered) << r.typed;
        EXPECT_EQ(completer->popup()->isVisible(), !r.offered.isEmpty()) << r.typed;
    }

    // An adapter plugged in while the dialog is open is offered at the next
    // keystroke.
    MakeNode(root + "/ttyUSB1");
    Type(field, "USB1");
    EXPECT_EQ(Offered(completer), QStringList{root + "/ttyUSB1"});

    // Down and Enter in the list put the port into the field.
    Type(field, "ACM");
    ASSERT_TRUE(QTest::qWaitFor([&] { return completer->popup()->isVisible(); }, 2000));
    QTest::keyClick(completer->popup(), Qt::Key_Down);
    QTest::keyClick(completer->popup(), Qt::Key_Return);
    EXPECT_EQ(QString::fromStdString(m->window.controlText(IDC_PORT_NAME)), root + "/ttyACM1");
    EXPECT_TRUE(m->window.isVisible()) << "Enter in the list must not close the dialog";
}

TEST(AboutBox, NamesTheVersionTheProjectIsBuiltAs)
{
    CAboutDlg about;
    QStringList lines;
    for (QLabel* label : about.findChildren<QLabel*>())
        if (!label->text().isEmpty())
            lines << label->text();
    EXPECT_EQ(lines, QStringList{QStringLiteral("Korvanel Version " KORVANEL_VERSION)});
}

} // namespace
} // namespace korvanel
