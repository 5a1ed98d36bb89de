#include "line_dcb.h"

#include "serial_port.h"

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

std::string ExplainOpenFailure(DWORD err, const std::string& systemText)
{
    // Serial drivers open a port once; the next opener, whoever it is, is
    // told "Access is denied", which reads as a rights problem but never is.
    if (err == ERROR_ACCESS_DENIED)
        return systemText + " Another program holds the port: close it (a terminal, a logger, "
                            "another Korvanel) and try again";
    if (err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND)
        return systemText + " " + TEXT_LIST_PORTS_HINT;
    return systemText;
}

} // namespace korvanel
