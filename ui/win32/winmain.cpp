// The Windows entry: no command line, no environment, no settings; the
// application object does everything.
#include <windows.h>

#include "clear_app.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    korvanel::theApp.InitInstance(instance);
    return 0;
}
