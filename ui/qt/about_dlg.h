// CAboutDlg: template 100, offered from the main dialog's context menu.
#pragma once

#include <QDialog>

namespace korvanel {

class CAboutDlg : public QDialog {
public:
    explicit CAboutDlg(QWidget* parent = nullptr);
};

} // namespace korvanel
