#include "line_port.h"

namespace korvanel {

PortOpenResult LinePort::open(const std::string& portName)
{
    close();
    active_ = IsNetworkPortName(portName) ? static_cast<RunPort*>(&net_) : &serial_;
    active_->setLineSettings(lineSettings());
    return active_->open(portName);
}

} // namespace korvanel
