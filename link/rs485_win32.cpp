// Windows' serial drivers switch RTS around each frame themselves
// (RTS_CONTROL_TOGGLE), always high while sending and with no delays.
#include "rs485.h"

namespace korvanel {

std::string Rs485Unsupported(const Rs485Settings& asked)
{
    if (!asked.enabled)
        return {};
    if (!asked.rtsHighOnSend)
        return "Windows cannot hold RTS low while sending: its serial driver toggles RTS high "
               "around each frame; give --rs485 without =rts-low, or invert the transceiver's "
               "enable line";
    if (asked.delayBeforeMs != 0 || asked.delayAfterMs != 0)
        return "Windows cannot delay RTS around a frame: its serial driver switches RTS with "
               "the first and last bit; run without --rs485-delay";
    return {};
}

} // namespace korvanel
