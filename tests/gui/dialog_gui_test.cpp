// The real Qt dialog without a serial peer: what a user sees after start,
// how typed numbers are taken, the failures of opening a port, the About box
// and closing.
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCoreApplication>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QScreen>
#include <QTest>

#include <gtest/gtest.h>

#include <cstdio>

#include "about_dlg.h"
#include "dialog_template.h"
#include "gui_support.h"
#include "resource.h"

namespace korvanel {
namespace {

QString Text(MainDialog& m, int id) { return QString::fromStdString(m.window.controlText(id)); }

QString ThisProgram() { return QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName(); }

TEST(DialogOnScreen, StartsWithTheDefaultsAndOnlyTheWorkingControlsShown)
{
    auto m = OpenMainDialog();
    EXPECT_EQ(m->window.windowTitle(), "Korvanel V1.0");
    EXPECT_FALSE(m->window.windowIcon().isNull());

    struct Row {
        int id;
        const char* text;
        bool shown;
    };
    const Row rows[] = {
        {IDC_LENGTH_LABEL, "Len/Data:", false},
        {IDC_PORT_LABEL, "COMPort:", true},
        {IDC_ADDRESS_LABEL, "INV CommAddr:", true},
        {IDC_REGISTER_LABEL, "RegAddr:", false},
        {IDC_PORT_NAME, "COM1", true},
        {IDC_INVERTER_ADDRESS, "1", true},
        {IDC_REGISTER_ADDRESS, "0", false},
        {IDC_LENGTH_OR_DATA, "1", false},
        {IDC_FUNCTION_SELECTOR, "", false},
        {IDC_RESULT_TEXT, "", false},
        {IDC_RUN_BUTTON, "Clear", true},
        {IDC_NOTE, "Note:  Please Disconnect AC First.", true},
        {IDC_POLL_PERIOD, "1000", false},
        {IDC_READ_SINGLE_TIME, "ReadSingleTime", false},
        {IDC_PARAM_SELECTOR, "", false},
        {IDC_PARAM_LABEL, "ParameterData:", false},
        {IDC_PARAMETER_DATA, "", false},
        {IDC_HEX_VIEW, "HexView", false},
        {IDC_LOCAL_VERSION, "LocalVS:??", false},
    };
    for (const Row& r : rows) {
        QWidget* w = m->window.control(r.id);
        ASSERT_NE(w, nullptr) << r.id;
        EXPECT_EQ(Text(*m, r.id), r.text) << r.id;
        EXPECT_EQ(w->isVisible(), r.shown) << r.id;
        if (r.shown) {
            EXPECT_TRUE(m->window.rect().contains(w->geometry())) << r.id;
        }
    }
    EXPECT_FALSE(m->window.control(IDC_HEX_VIEW)->isEnabled());

    // Focus starts in the port field; Tab walks the visible tab stops in
    // template order and comes back round.
    EXPECT_TRUE(QTest::qWaitFor([&] { return m->window.control(IDC_PORT_NAME)->hasFocus(); }, 2000));
    const int tabWalk[] = {IDC_INVERTER_ADDRESS, IDC_RUN_BUTTON, IDC_PORT_NAME};
    for (int id : tabWalk) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        EXPECT_TRUE(m->window.control(id)->hasFocus()) << id;
    }

    // The layout of the template: labels left of their fields on one line,
    // the note below them, the button below the note.
    auto g = [&](int id) { return m->window.control(id)->geometry(); };
    EXPECT_LT(g(IDC_PORT_LABEL).right(), g(IDC_PORT_NAME).left());
    EXPECT_LT(g(IDC_PORT_NAME).right(), g(IDC_ADDRESS_LABEL).left());
    EXPECT_LT(g(IDC_ADDRESS_LABEL).right(), g(IDC_INVERTER_ADDRESS).left());
    EXPECT_LT(g(IDC_PORT_NAME).bottom(), g(IDC_NOTE).top());
    EXPECT_LT(g(IDC_NOTE).bottom(), g(IDC_RUN_BUTTON).top());
}

TEST(DialogOnScreen, DialogUnitsBecomePixelsByTheFontsBaseUnits)
{
    struct Row {
        QRect units;
        DialogBaseUnits base;
        QRect pixels;
    };
    const Row rows[] = {
        // The button of template 102 with 8-point base units 6 x 13:
        // 67 * 6 / 4 = 100.5 -> 101; (67 + 49) * 6 / 4 = 174;
        // 56 * 13 / 8 = 91; (56 + 22) * 13 / 8 = 126.75 -> 127.
        {QRect(67, 56, 49, 22), {6, 13}, QRect(101, 91, 73, 36)},
        {QRect(0, 0, 191, 92), {6, 13}, QRect(0, 0, 287, 150)},
        {QRect(10, 17, 33, 8), {7, 15}, QRect(18, 32, 57, 15)},
    };
    for (const Row& r : rows)
        EXPECT_EQ(DialogUnitsToPixels(r.units, r.base), r.pixels);
}

struct NumberRow {
    const char* typed;
    const char* message;  // nullptr: taken
    const char* storedAs;
};

TEST(DialogOnScreen, TypedAddressesAreTakenOrRefusedWithTheFieldsMessage)
{
    const NumberRow rows[] = {
        {" 7 ", nullptr, "7"},
        {"0", nullptr, "0"},
        {"+5", nullptr, "5"},
        {"-7", "Please enter a positive integer.", nullptr},
        {"7x", "Please enter a positive integer.", nullptr},
        {"abc", "Please enter a positive integer.", nullptr},
        {"4294967296", "Please enter an integer between 0 and 255.", nullptr},
    };
    for (const NumberRow& r : rows) {
        auto m = OpenMainDialog();
        BoxAnswerer user;
        // A port that cannot exist: a taken field leads on to the open.
        Type(m->window.control(IDC_PORT_NAME), "/nonexistent/korvanel-port");
        Type(m->window.control(IDC_INVERTER_ADDRESS), r.typed);
        Click(m->window.control(IDC_RUN_BUTTON));
        ASSERT_EQ(user.seen.size(), 1u) << r.typed;
        if (r.message) {
            EXPECT_EQ(user.seen[0].text, r.message) << r.typed;
            EXPECT_EQ(user.seen[0].caption, ThisProgram());
            EXPECT_EQ(user.seen[0].icon, QMessageBox::Warning);
            auto* field = qobject_cast<QLineEdit*>(m->window.control(IDC_INVERTER_ADDRESS));
            // The offscreen platform does not hand activation back when the
            // box goes, as a desktop does; the dialog's focus is where the
            // keyboard goes once it is active.
            EXPECT_EQ(m->window.focusWidget(), field) << r.typed;
            QApplication::setActiveWindow(&m->window);
            EXPECT_TRUE(field->hasFocus()) << r.typed;
            EXPECT_EQ(field->selectedText(), r.typed) << r.typed;
        } else {
            EXPECT_EQ(user.seen[0].text, "COM Open Fail") << r.typed;
            m->dlg.exchangeFieldsToControls();
            EXPECT_EQ(Text(*m, IDC_INVERTER_ADDRESS), r.storedAs) << r.typed;
        }
        EXPECT_EQ(Text(*m, IDC_RUN_BUTTON), "Clear") << r.typed;
    }
}

TEST(DialogOnScreen, AMissingPortGivesComOpenFailAndNoRun)
{
    const char* ports[] = {"", "/nonexistent/korvanel-port", "ttyKORVANEL404"};
    for (const char* port : ports) {
        auto m = OpenMainDialog();
        BoxAnswerer user;
        Type(m->window.control(IDC_PORT_NAME), port);
        Click(m->window.control(IDC_RUN_BUTTON));
        ASSERT_EQ(user.seen.size(), 1u) << port;
        EXPECT_EQ(user.seen[0].text, "COM Open Fail");
        EXPECT_EQ(user.seen[0].caption, "Error");
        EXPECT_EQ(user.seen[0].icon, QMessageBox::NoIcon);
        EXPECT_EQ(Text(*m, IDC_RUN_BUTTON), "Clear");
        EXPECT_EQ(TheClearRun().state(), Idle);
    }
}

TEST(DialogOnScreen, AfterComSettingFailTheNextPressOnlyClosesThePort)
{
    auto m = OpenMainDialog();
    BoxAnswerer user;
    // Not a terminal: it opens, but takes no line settings.
    Type(m->window.control(IDC_PORT_NAME), "/dev/null");
    Click(m->window.control(IDC_RUN_BUTTON));
    ASSERT_EQ(user.seen.size(), 1u);
    EXPECT_EQ(user.seen[0].text, "COM Setting Fail!!");
    EXPECT_EQ(user.seen[0].caption, "Error");
    EXPECT_EQ(Text(*m, IDC_RUN_BUTTON), "Clear");
    EXPECT_TRUE(m->ports.current().isOpen());

    Click(m->window.control(IDC_RUN_BUTTON));
    EXPECT_EQ(user.seen.size(), 1u);
    EXPECT_EQ(Text(*m, IDC_RUN_BUTTON), "Start");
    EXPECT_FALSE(m->ports.current().isOpen());

    Click(m->window.control(IDC_RUN_BUTTON));
    ASSERT_EQ(user.seen.size(), 2u);
    EXPECT_EQ(user.seen[1].text, "COM Setting Fail!!");
}

TEST(DialogOnScreen, TheContextMenuOffersTheAboutBox)
{
    auto m = OpenMainDialog();
    QMenu* menu = m->window.contextMenu();
    ASSERT_NE(menu, nullptr);
    QList<QAction*> items = menu->actions();
    ASSERT_EQ(items.size(), 2);
    EXPECT_TRUE(items[0]->isSeparator());
    EXPECT_EQ(items[1]->text(), "&About Korvanel...");

    struct Row {
        const char* how;
        std::function<void(QDialog*)> close;
    };
    const Row rows[] = {
        {"OK", [](QDialog* d) { Click(d->findChild<QPushButton*>()); }},
        {"Enter", [](QDialog* d) { QTest::keyClick(d, Qt::Key_Return); }},
        {"Esc", [](QDialog* d) { QTest::keyClick(d, Qt::Key_Escape); }},
    };
    for (const Row& r : rows) {
        bool sawAbout = false;
        QTimer::singleShot(50, [&] {
            auto* about = dynamic_cast<CAboutDlg*>(QApplication::activeModalWidget());
            if (!about)
                return;
            sawAbout = true;
            EXPECT_EQ(about->windowTitle(), "About Korvanel");
            auto* icon = about->findChild<QLabel*>("aboutIcon");
            ASSERT_NE(icon, nullptr);
            EXPECT_FALSE(icon->pixmap().isNull());
            auto buttons = about->findChildren<QPushButton*>();
            ASSERT_EQ(buttons.size(), 1);
            EXPECT_EQ(buttons[0]->text(), "OK");
            // The icon and two lines of text beside the button.
            EXPECT_EQ(about->findChildren<QLabel*>().size(), 3);
            r.close(about);
        });
        items[1]->trigger();
        EXPECT_TRUE(sawAbout) << r.how;
        EXPECT_EQ(QApplication::activeModalWidget(), nullptr) << r.how;
    }
}

// Centres are compared to a pixel: an odd size cannot be split evenly.
bool Near(const QPoint& a, const QPoint& b) { return (a - b).manhattanLength() <= 2; }

TEST(DialogOnScreen, TheDialogOpensCentredOnTheScreen)
{
    auto m = OpenMainDialog();
    const QRect screen = m->window.screen()->availableGeometry();
    const QRect frame = m->window.frameGeometry();
    std::printf("screen %dx%d, dialog %dx%d at (%d, %d)\n", screen.width(), screen.height(),
                frame.width(), frame.height(), frame.x(), frame.y());
    EXPECT_TRUE(Near(frame.center(), screen.center()));
    EXPECT_TRUE(screen.contains(frame));
}

TEST(DialogOnScreen, TheAboutBoxOpensCentredOverTheDialogAndOnTheScreen)
{
    struct Row {
        QPoint dialogAt;
        bool fitsCentred;  // false: pushed in from the screen's left edge
    };
    const Row rows[] = {{QPoint(150, 200), true}, {QPoint(0, 0), false}};
    for (const Row& r : rows) {
        auto m = OpenMainDialog();
        m->window.move(r.dialogAt);
        QRect about;
        QRect icon;
        QRect iconTemplate;
        QTimer::singleShot(50, [&] {
            auto* box = dynamic_cast<CAboutDlg*>(QApplication::activeModalWidget());
            if (!box)
                return;
            about = box->frameGeometry();
            if (auto* label = box->findChild<QLabel*>("aboutIcon"))
                icon = label->geometry();
            // The icon control of template 100: 20 x 20 dialog units at 11, 17.
            iconTemplate = DialogUnitsToPixels(QRect(11, 17, 20, 20), BaseUnitsOf(box->font()));
            box->reject();
        });
        m->window.contextMenu()->actions().last()->trigger();
        const QRect dialog = m->window.frameGeometry();
        const QRect screen = m->window.screen()->availableGeometry();
        std::printf("dialog at (%d, %d) %dx%d: About box at (%d, %d) %dx%d\n", dialog.x(), dialog.y(),
                    dialog.width(), dialog.height(), about.x(), about.y(), about.width(), about.height());
        ASSERT_FALSE(about.isEmpty()) << "no About box";
        EXPECT_TRUE(screen.contains(about));
        EXPECT_NEAR(about.center().y(), dialog.center().y(), 1);
        if (r.fitsCentred) {
            EXPECT_NEAR(about.center().x(), dialog.center().x(), 1);
        } else {
            EXPECT_EQ(about.left(), screen.left());
        }
        EXPECT_EQ(icon, iconTemplate);
    }
}

TEST(DialogOnScreen, EnterClosesTheDialogOnlyWhenTheFieldsAreTaken)
{
    auto m = OpenMainDialog();
    BoxAnswerer user;
    auto* address = m->window.control(IDC_INVERTER_ADDRESS);
    Type(address, "x1");
    QTest::keyClick(address, Qt::Key_Return);
    ASSERT_EQ(user.seen.size(), 1u);
    EXPECT_EQ(user.seen[0].text, "Please enter a positive integer.");
    EXPECT_TRUE(m->window.isVisible());

    Type(address, "12");
    QTest::keyClick(address, Qt::Key_Return);
    EXPECT_FALSE(m->window.isVisible());
    EXPECT_EQ(m->window.result(), QDialog::Accepted);
    EXPECT_EQ(m->dlg.inverterAddress(), 12u);
}

// F1 in a field is the Help command: the build tree's README goes to the
// desktop's viewer (the request watched, none started); when no viewer
// starts, a box says where the help is.
TEST(DialogOnScreen, F1OpensTheReadmeOrSaysWhereItIs)
{
    const QString readme = QCoreApplication::applicationDirPath() + "/README.md";
    for (const bool viewerStarts : {true, false}) {
        auto m = OpenMainDialog();
        BoxAnswerer user;
        std::vector<QUrl> launched;
        m->window.setHelpLauncher([&](const QUrl& url) { return launched.push_back(url), viewerStarts; });
        QTest::keyClick(m->window.control(IDC_INVERTER_ADDRESS), Qt::Key_F1);
        EXPECT_EQ(launched, std::vector<QUrl>{QUrl::fromLocalFile(readme)});
        EXPECT_EQ(user.seen.size(), viewerStarts ? 0u : 1u);
        EXPECT_EQ(user.seen.empty() ? QString() : user.seen[0].text,
                  viewerStarts ? QString() : "Korvanel's help could not be opened. It is the file\n" + readme);
    }
}

TEST(DialogOnScreen, TheApplicationReturnsWhenItsModalDialogIsClosedWithEsc)
{
    bool closed = false;
    QTimer::singleShot(100, [&] {
        auto* dialog = dynamic_cast<QtClearDialog*>(QApplication::activeModalWidget());
        ASSERT_NE(dialog, nullptr);
        EXPECT_EQ(dialog->windowTitle(), "Korvanel V1.0");
        QTest::keyClick(dialog, Qt::Key_Escape);
        closed = true;
    });
    CClearApp app;
    EXPECT_FALSE(app.InitInstance());
    EXPECT_TRUE(closed);
}

} // namespace
} // namespace korvanel
