#include "progress.h"

#include <windows.h>

namespace korvanel {

// A console answers GetConsoleMode; a pipe, a file or NUL does not. The
// line is drawn with a carriage return and spaces only, which every
// console takes whether or not it handles escape sequences.
bool StandardErrorIsTerminal()
{
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

std::size_t StandardErrorColumns()
{
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info))
        return 0;
    return static_cast<std::size_t>(info.srWindow.Right - info.srWindow.Left + 1);
}

} // namespace korvanel
