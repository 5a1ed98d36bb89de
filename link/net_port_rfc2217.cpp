// The start of an rfc2217:// connection: COM port control offered, the line
// settings sent and the converter's confirmations awaited.
#include <algorithm>

#include "net_port.h"

namespace korvanel {

bool NetPort::offerComPortControl(TelnetCodec& telnet, Clock::time_point deadline)
{
    if (!sendRaw(telnet.offer())) {
        connectFailed(status_.text);
        return false;
    }
    using Answer = TelnetCodec::ComPortAnswer;
    if (!waitDuringOpen(deadline, [&telnet] { return telnet.comPortAnswer() != Answer::None; }))
        return false;
    if (telnet.comPortAnswer() == Answer::None) {
        connectFailed("Connecting to " + name_.peer() +
                      ": no answer to the offer of COM port control (not an RFC 2217 server?)");
        return false;
    }
    if (telnet.comPortAnswer() == Answer::Dont) {
        connectFailed("Connecting to " + name_.peer() + ": the server refuses COM port control");
        return false;
    }
    return true;
}

// A converter that cannot do what was asked confirms what it does; those
// are the settings in force, and the run's timing must follow them.
bool NetPort::confirmLineSettings(TelnetCodec& telnet, Clock::time_point deadline)
{
    sendRaw(TelnetCodec::lineCommands(line_));
    const Clock::time_point until = std::min(deadline, Clock::now() + CONFIRM_TIMEOUT);
    if (!waitDuringOpen(until, [&telnet] { return telnet.allConfirmed(); }))
        return false;
    const LineSettings asked = line_;
    std::string inForce;
    line_ = telnet.inForce(asked, inForce);
    if (inForce != asked.text())
        notes_.push_back("the converter at " + name_.peer() + " keeps " + inForce + ", not " +
                         asked.text() + " as asked");
    if (!telnet.allConfirmed())
        notes_.push_back(
            "the converter at " + name_.peer() + " did not confirm " +
            (telnet.noneConfirmed() ? "the line settings" : "all of the line settings") +
            " within " + std::to_string(CONFIRM_TIMEOUT.count()) + " ms; " + inForce +
            " is assumed");
    return true;
}

} // namespace korvanel
