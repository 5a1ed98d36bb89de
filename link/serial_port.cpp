// What both platforms' serial ports share: the record of the device, its
// failures and its loss.
#include "serial_port.h"

#include <cctype>
#include <thread>

namespace korvanel {

const char* const TEXT_LIST_PORTS_HINT = "--list-ports shows the serial ports present";

unsigned ComPortNumber(const std::string& name)
{
    // Up to five digits: Windows' port database numbers ports up to COM4096,
    // and the value stays far from overflow.
    if (name.size() < 4 || name.size() > 8)
        return 0;
    for (std::size_t i = 0; i < 3; ++i) {
        if (std::toupper(static_cast<unsigned char>(name[i])) != "COM"[i])
            return 0;
    }
    unsigned n = 0;
    for (std::size_t i = 3; i < name.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(name[i])))
            return 0;
        n = n * 10 + static_cast<unsigned>(name[i] - '0');
    }
    return n;
}

bool PollForInput(RunPort& port, std::chrono::milliseconds timeout)
{
    const auto until = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (port.queuedByteCount() > 0 || port.lost())
            return true;
        if (!port.isOpen() || std::chrono::steady_clock::now() >= until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

std::string SerialPort::Device::describe(const std::string& what, const std::string& reason) const
{
    return what + " '" + path + "': " + reason;
}

void SerialPort::Device::openFailed(const std::string& what, const std::string& reason)
{
    status = {PortStatus::Reason::OpenFailed, describe(what, reason)};
}

void SerialPort::Device::writeCutShort(const std::string& why)
{
    if (!lost())
        status = {PortStatus::Reason::WriteCutShort, why};
}

bool SerialPort::Device::begin(const std::string& portName)
{
    status = {};
    path = DevicePathFor(portName);
    if (path.empty()) {
        openFailed("Opening", "no port name given");
        return false;
    }
    return true;
}

void SerialPort::Device::markLost(const std::string& what, const std::string& reason)
{
    if (lost())
        return;
    status = {PortStatus::Reason::Lost, describe(what, reason)};
}

} // namespace korvanel
