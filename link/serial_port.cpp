// What both platforms' serial ports share: the record of the device, its
// failures and its loss.
#include "serial_port.h"

namespace korvanel {

std::string SerialPort::Device::describe(const std::string& what, const std::string& reason) const
{
    return what + " '" + path + "': " + reason;
}

void SerialPort::Device::openFailed(const std::string& what, const std::string& reason)
{
    lastError = describe(what, reason);
}

bool SerialPort::Device::begin(const std::string& portName)
{
    lastError.clear();
    lost = false;
    lostReason.clear();
    path = DevicePathFor(portName);
    if (path.empty()) {
        openFailed("Opening", "no port name given");
        return false;
    }
    return true;
}

void SerialPort::Device::markLost(const std::string& what, const std::string& reason)
{
    if (lost)
        return;
    lost = true;
    lostReason = describe(what, reason);
}

} // namespace korvanel
