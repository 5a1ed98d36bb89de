#include "port_factory.h"

#include "net_port.h"
#include "serial_port.h"

namespace korvanel {

std::unique_ptr<RunPort> MakePort(const PortAddress& address, std::function<bool()> waitHook)
{
    if (address.scheme == PortScheme::Serial)
        return std::make_unique<SerialPort>();
    auto port = std::make_unique<NetPort>();
    port->setWaitHook(std::move(waitHook));
    return port;
}

MadePorts::MadePorts(std::function<bool()> waitHook)
    : waitHook_(std::move(waitHook)), port_(MakePort(PortAddress{}))
{}

RunPort& MadePorts::portFor(const PortAddress& address)
{
    port_->close();
    port_ = MakePort(address, waitHook_);
    return *port_;
}

} // namespace korvanel
