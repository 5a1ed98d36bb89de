#include "line_end.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "line_termios.h"

namespace korvanel {

namespace {

// Makes a pseudo-terminal: 0, or an exit status.
int OpenPseudoTerminal(SimLine& line)
{
    line.pseudoTerminal.reset(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    const int master = line.pseudoTerminal.get();
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0)
        return SystemFailure("cannot make a pseudo-terminal");
    const char* slaveName = ::ptsname(master);
    if (!slaveName)
        return SystemFailure("cannot name the pseudo-terminal");
    line.portPath = slaveName;
    // Holding the far end open keeps the line up while masters come and go
    // (otherwise each close hangs it up), and lets the line start raw so
    // nothing is echoed back before a master configures it.
    line.slaveHold.reset(::open(line.portPath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!line.slaveHold.valid())
        return SystemFailure("cannot open " + line.portPath);
    termios tio{};
    if (::tcgetattr(line.slaveHold.get(), &tio) == 0) {
        ApplyLineSettings(tio, LineSettings{});
        ::tcsetattr(line.slaveHold.get(), TCSANOW, &tio);
    }
    line.fd = master;
    return 0;
}

} // namespace

int SystemFailure(const std::string& what)
{
    std::cerr << "korvanel-sim: " << what << ": " << std::strerror(errno) << '\n';
    return 1;
}

int OpenLine(const SimOptions& options, Listener& listener, SimLine& line)
{
    if (options.listenUrl.empty()) {
        if (const int status = OpenPseudoTerminal(line))
            return status;
    } else {
        std::string listenError;
        if (!listener.start(options.listenUrl, options.quiet, listenError)) {
            std::cerr << "korvanel-sim: " << listenError << '\n';
            return 1;
        }
        line.fd = listener.lineFd();
        line.portPath = listener.url();
        line.framed = listener.framesRequests();
    }
    ::fcntl(line.fd, F_SETFL, ::fcntl(line.fd, F_GETFL) | O_NONBLOCK);
    return 0;
}

int LinkPort(const std::string& linkPath, const std::string& portPath)
{
    if (linkPath.empty())
        return 0;
    struct stat st {};
    if (::lstat(linkPath.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
        ::unlink(linkPath.c_str());
    if (::symlink(portPath.c_str(), linkPath.c_str()) != 0)
        return SystemFailure("cannot link " + linkPath);
    return 0;
}

bool MasterLine(int slave, LineSettings& line)
{
    termios tio{};
    if (::tcgetattr(slave, &tio) != 0)
        return false;
    line.baud = 0;
    for (const std::uint32_t rate : STANDARD_BAUD_RATES) {
        speed_t speed = B0;
        if (TermiosSpeed(rate, speed) && cfgetospeed(&tio) == speed)
            line.baud = rate;
    }
    line.stopBits = (tio.c_cflag & CSTOPB) ? 2 : 1;
    line.parity = !(tio.c_cflag & PARENB)  ? LineSettings::Parity::None
                  : (tio.c_cflag & PARODD) ? LineSettings::Parity::Odd
                                           : LineSettings::Parity::Even;
    return true;
}

} // namespace korvanel
