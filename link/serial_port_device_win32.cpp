#include "serial_port_device_win32.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "serial_port.h"

namespace korvanel {

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

std::string SerialPort::DevicePathFor(const std::string& portName)
{
    // Only a plain COM<n> gets the device namespace prefix: without it only
    // COM1 to COM9 are found, as the plain names of higher ports are not
    // reserved DOS names. Anything else ("COM1:", "\\.\COM23", a driver's
    // own device name) opens as typed, so a name that worked unprefixed
    // keeps working.
    return ComPortNumber(portName) != 0 ? "\\\\.\\" + portName : portName;
}

std::vector<std::string> SerialPort::ListPorts(const std::string& /*deviceRoot*/)
{
    // Every DOS device name, NUL-separated; COMn entries are serial ports.
    std::vector<char> names(1 << 16);
    DWORD n = 0;
    for (;;) {
        n = ::QueryDosDeviceA(nullptr, names.data(), static_cast<DWORD>(names.size()));
        if (n != 0 || ::GetLastError() != ERROR_INSUFFICIENT_BUFFER || names.size() >= (1u << 22))
            break;
        names.resize(names.size() * 2);
    }
    std::vector<std::pair<unsigned, std::string>> ports;
    for (const char* p = names.data(); n != 0 && p < names.data() + n && *p;
         p += std::strlen(p) + 1) {
        if (const unsigned number = ComPortNumber(p))
            ports.emplace_back(number, "COM" + std::to_string(number));
    }
    std::sort(ports.begin(), ports.end());
    ports.erase(std::unique(ports.begin(), ports.end()), ports.end());
    std::vector<std::string> result;
    for (auto& port : ports)
        result.push_back(std::move(port.second));
    return result;
}

} // namespace korvanel
