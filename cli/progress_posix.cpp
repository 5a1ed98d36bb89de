#include "progress.h"

#include <unistd.h>

namespace korvanel {

bool StandardErrorIsTerminal()
{
    return isatty(STDERR_FILENO) == 1;
}

} // namespace korvanel
