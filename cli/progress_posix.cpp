#include "progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

namespace korvanel {

bool StandardErrorIsTerminal()
{
    return isatty(STDERR_FILENO) == 1;
}

std::size_t StandardErrorColumns()
{
    winsize size{};
    return ::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
}

} // namespace korvanel
