#include <QApplication>

#include "clear_app.h"

namespace {

// The one application object, as the program has always had it.
korvanel::CClearApp theApp;

} // namespace

int main(int argc, char** argv)
{
    QApplication qapp(argc, argv);
    qapp.setWindowIcon(korvanel::ApplicationIcon());
    theApp.InitInstance();
    return 0;
}
