#include "line_dcb.h"

namespace korvanel {

void ApplyLineSettings(DCB& dcb, const LineSettings& line)
{
    // The CBR_ constants are the rates themselves (CBR_19200 == 19200).
    dcb.BaudRate = line.baud;
    dcb.fBinary = 1;
    dcb.ByteSize = 8;
    switch (line.parity) {
    case LineSettings::Parity::None:
        dcb.Parity = NOPARITY;
        dcb.fParity = 0;
        break;
    case LineSettings::Parity::Even:
        dcb.Parity = EVENPARITY;
        dcb.fParity = 1;
        break;
    case LineSettings::Parity::Odd:
        dcb.Parity = ODDPARITY;
        dcb.fParity = 1;
        break;
    }
    dcb.StopBits = line.stopBits == 2 ? TWOSTOPBITS : ONESTOPBIT;
}

} // namespace korvanel
