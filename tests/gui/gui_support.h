// What the GUI tests share: a user who answers message boxes, the main
// dialog on the offscreen platform, and a virtual inverter process.
#pragma once

#include <QMessageBox>
#include <QProcess>
#include <QString>
#include <QTimer>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "clear_app.h"

namespace korvanel {

struct SeenBox {
    QString text;
    QString caption;
    QMessageBox::Icon icon;
};

// Watches for a modal message box and answers it with OK, as the person in
// front of the screen would; what each box said is kept.
class BoxAnswerer {
public:
    BoxAnswerer();
    ~BoxAnswerer();

    std::vector<SeenBox> seen;
    // Called with each box before it is answered; it may keep the box open
    // by returning false (it is looked at again on the next poll).
    std::function<bool(QMessageBox*)> beforeAnswer;

    // Spins the event loop until `count` boxes have been seen or `ms` pass.
    bool waitForBoxes(std::size_t count, int ms);

private:
    void poll();
    QTimer timer_;
    QMessageBox* lastSeen_ = nullptr;
};

// The main dialog as the program builds it, initialised and shown.
std::unique_ptr<MainDialog> OpenMainDialog();

// Clicks a control with the mouse and returns when its handler has returned
// (after any message box it opened was answered).
void Click(QWidget* widget);
// Replaces the text of an edit control by typing.
void Type(QWidget* edit, const QString& text);

// korvanel-sim on a pseudo-terminal, stopped when this goes.
class SimProcess {
public:
    // False (and a reason in `error`) when it cannot be started here.
    bool start(const QStringList& args, std::string& error);
    ~SimProcess();
    const QString& port() const { return port_; }
    // Requests to inverter 1 the simulator has logged so far.
    int requestsSeen();

private:
    QProcess process_;
    QString port_;
    QByteArray log_;
};

} // namespace korvanel
