// Linux's serial drivers take the whole of an RS-485 request (polarity and
// delays) or refuse it at open, where the port says why.
#include "rs485.h"

namespace korvanel {

std::string Rs485Unsupported(const Rs485Settings&)
{
    return {};
}

} // namespace korvanel
