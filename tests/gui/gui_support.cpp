#include "gui_support.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLineEdit>
#include <QTest>

namespace korvanel {

BoxAnswerer::BoxAnswerer()
{
    timer_.setInterval(10);
    QObject::connect(&timer_, &QTimer::timeout, [this] { poll(); });
    timer_.start();
}

BoxAnswerer::~BoxAnswerer() { timer_.stop(); }

void BoxAnswerer::poll()
{
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box || !box->isVisible())
        return;
    if (box != lastSeen_) {
        lastSeen_ = box;
        seen.push_back({box->text(), box->windowTitle(), box->icon()});
    }
    if (beforeAnswer && !beforeAnswer(box))
        return;
    if (QAbstractButton* ok = box->button(QMessageBox::Ok))
        ok->click();
    else
        box->reject();
    lastSeen_ = nullptr;
}

bool BoxAnswerer::waitForBoxes(std::size_t count, int ms)
{
    return QTest::qWaitFor([&] { return seen.size() >= count; }, ms);
}

std::unique_ptr<MainDialog> OpenMainDialog()
{
    auto main = std::make_unique<MainDialog>();
    main->window.InitDialog();
    main->window.show();
    QApplication::setActiveWindow(&main->window);
    return main;
}

void Click(QWidget* widget) { QTest::mouseClick(widget, Qt::LeftButton); }

void Type(QWidget* edit, const QString& text)
{
    auto* line = qobject_cast<QLineEdit*>(edit);
    line->selectAll();
    QTest::keyClick(line, Qt::Key_Delete);
    QTest::keyClicks(line, text);
}

bool SimProcess::start(const QStringList& args, std::string& error)
{
#ifdef KORVANEL_SIM_PATH
    process_.start(KORVANEL_SIM_PATH, args);
    if (!process_.waitForStarted(5000)) {
        error = "korvanel-sim did not start";
        return false;
    }
    // Its first line is the port to open.
    if (!process_.waitForReadyRead(5000)) {
        error = "korvanel-sim named no port";
        return false;
    }
    port_ = QString::fromUtf8(process_.readLine()).trimmed();
    return !port_.isEmpty();
#else
    (void)args;
    error = "korvanel-sim is not built in this tree";
    return false;
#endif
}

SimProcess::~SimProcess()
{
    if (process_.state() == QProcess::NotRunning)
        return;
    process_.terminate();
    if (!process_.waitForFinished(3000))
        process_.kill();
    process_.waitForFinished(1000);
}

int SimProcess::requestsSeen()
{
    log_ += process_.readAllStandardError();
    int count = 0;
    for (const QByteArray& line : log_.split('\n'))
        if (line.toUpper().contains("01 06 00 4A 00 00 A8 1C"))
            ++count;
    return count;
}

} // namespace korvanel
