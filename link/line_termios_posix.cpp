#include "line_termios.h"

namespace korvanel {

bool TermiosSpeed(std::uint32_t baud, speed_t& speed)
{
    static const struct {
        std::uint32_t baud;
        speed_t speed;
    } speeds[] = {
        {1200, B1200},   {2400, B2400},   {4800, B4800},   {9600, B9600},
        {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200},
    };
    static_assert(sizeof speeds / sizeof speeds[0] ==
                      sizeof STANDARD_BAUD_RATES / sizeof STANDARD_BAUD_RATES[0],
                  "every standard rate has its termios speed");
    for (const auto& entry : speeds) {
        if (entry.baud == baud) {
            speed = entry.speed;
            return true;
        }
    }
    return false;
}

bool ApplyLineSettings(termios& tio, const LineSettings& line)
{
    speed_t speed = B0;
    if (!TermiosSpeed(line.baud, speed))
        return false;
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
    tio.c_cflag = (tio.c_cflag & ~static_cast<tcflag_t>(CSIZE)) | CS8;
    // PARODD only counts with PARENB; without parity it stays as found.
    switch (line.parity) {
    case LineSettings::Parity::None:
        tio.c_cflag &= ~static_cast<tcflag_t>(PARENB);
        tio.c_iflag &= ~static_cast<tcflag_t>(INPCK);
        break;
    case LineSettings::Parity::Even:
        tio.c_cflag = (tio.c_cflag | PARENB) & ~static_cast<tcflag_t>(PARODD);
        tio.c_iflag |= INPCK;
        break;
    case LineSettings::Parity::Odd:
        tio.c_cflag |= PARENB | PARODD;
        tio.c_iflag |= INPCK;
        break;
    }
    if (line.stopBits == 2)
        tio.c_cflag |= CSTOPB;
    else
        tio.c_cflag &= ~static_cast<tcflag_t>(CSTOPB);
    // Binary: no line editing, echo, signal characters or output and input
    // translation, so every byte of a frame (0x0D, 0x03, 0x11...) passes as is.
    // Receiving must be on or no reply is ever seen. A byte that fails the
    // parity check arrives as 0x00 (no PARMRK), which fails the frame's check.
    tio.c_cflag |= CREAD;
    tio.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHOE | ECHONL | ISIG | IEXTEN);
    tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio.c_iflag &=
        ~static_cast<tcflag_t>(INLCR | IGNCR | ICRNL | ISTRIP | IGNBRK | BRKINT | PARMRK);
    // Linux drivers start with XON/XOFF on, which would swallow every 0x11
    // and 0x13 of a reply (a check byte is 0x13 often enough); a binary line
    // passes them. Hardware handshake stays as the driver has it.
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    return true;
}

bool LineSettingsTookEffect(const termios& readBack, const LineSettings& line, bool pseudoTerminal)
{
    speed_t speed = B0;
    if (!TermiosSpeed(line.baud, speed))
        return false;
    const bool framing = cfgetispeed(&readBack) == speed && cfgetospeed(&readBack) == speed &&
                         (readBack.c_cflag & CSIZE) == CS8 &&
                         ((readBack.c_cflag & CSTOPB) != 0) == (line.stopBits == 2) &&
                         (readBack.c_lflag & ICANON) == 0;
    if (!framing || pseudoTerminal)
        return framing;
    const tcflag_t asked = line.parity == LineSettings::Parity::None ? 0
                           : line.parity == LineSettings::Parity::Even
                               ? static_cast<tcflag_t>(PARENB)
                               : static_cast<tcflag_t>(PARENB | PARODD);
    const tcflag_t shown = (readBack.c_cflag & PARENB) ? (readBack.c_cflag & (PARENB | PARODD)) : 0;
    return shown == asked;
}

} // namespace korvanel
