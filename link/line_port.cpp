#include "line_port.h"

namespace korvanel {

PortOpenResult LinePort::open(const std::string& portName)
{
    close();
    active_ = IsNetworkPortName(portName) ? static_cast<RunPort*>(&net_) : &serial_;
    active_->setLineSettings(lineSettings());
    const PortOpenResult result = active_->open(portName);
    // A converter may keep other settings than asked: those it keeps are
    // the ones in force.
    setLineSettings(active_->lineSettings());
    return result;
}

} // namespace korvanel
