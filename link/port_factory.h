// The port an address names: a serial line, or a network converter or
// gateway (tcp://, rfc2217://, modbus-tcp://).
#pragma once

#include <functional>
#include <memory>

#include "run_port.h"

namespace korvanel {

// A new, closed port of the kind `address` names. `waitHook` is called
// every few milliseconds while a network open() waits (see
// NetPort::setWaitHook); a serial open never waits.
std::unique_ptr<RunPort> MakePort(const PortAddress& address, std::function<bool()> waitHook = {});

// Where a dialog gets the port for the address typed at each press.
class PortSource {
public:
    virtual ~PortSource() = default;
    // The port in use: the last one portFor() gave.
    virtual RunPort& current() = 0;
    // A closed port for `address`; the one given before may be gone.
    virtual RunPort& portFor(const PortAddress& address) = 0;
};

// A front end's ports: a new one from MakePort for each address.
class MadePorts final : public PortSource {
public:
    explicit MadePorts(std::function<bool()> waitHook = {});
    void setWaitHook(std::function<bool()> hook) { waitHook_ = std::move(hook); }
    RunPort& current() override { return *port_; }
    RunPort& portFor(const PortAddress& address) override;

private:
    std::function<bool()> waitHook_;
    std::unique_ptr<RunPort> port_;
};

// One port for every address (a test's scripted one).
class OnePort final : public PortSource {
public:
    explicit OnePort(RunPort& port) : port_(port) {}
    RunPort& current() override { return port_; }
    RunPort& portFor(const PortAddress&) override { return port_; }

private:
    RunPort& port_;
};

} // namespace korvanel
