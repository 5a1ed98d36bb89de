// The Telnet side of rfc2217://: the options agreed, COM port control (the
// line settings sent, the converter's confirmations read) and the stream
// cut into data and commands.
#include <algorithm>

#include "net_port.h"

namespace korvanel {

namespace {

// Telnet (RFC 854) and its COM port control option (RFC 2217).
constexpr std::uint8_t IAC = 0xFF;
constexpr std::uint8_t DONT = 0xFE;
constexpr std::uint8_t DO = 0xFD;
constexpr std::uint8_t WONT = 0xFC;
constexpr std::uint8_t WILL = 0xFB;
constexpr std::uint8_t SB = 0xFA;
constexpr std::uint8_t SE = 0xF0;
constexpr std::uint8_t OPTION_BINARY = 0;
constexpr std::uint8_t OPTION_SGA = 3;
constexpr std::uint8_t OPTION_COM_PORT = 44;
// Client to server commands; the server answers each with 100 added.
constexpr std::uint8_t CPC_SET_BAUDRATE = 1;
constexpr std::uint8_t CPC_SET_DATASIZE = 2;
constexpr std::uint8_t CPC_SET_PARITY = 3;
constexpr std::uint8_t CPC_SET_STOPSIZE = 4;
constexpr std::uint8_t CPC_SET_CONTROL = 5;
constexpr std::uint8_t CPC_PURGE_DATA = 12;
constexpr std::uint8_t CPC_SERVER_ANSWER = 100;
constexpr std::uint8_t CPC_PARITY_NONE = 1;
constexpr std::uint8_t CPC_PARITY_ODD = 2;
constexpr std::uint8_t CPC_PARITY_EVEN = 3;
constexpr std::uint8_t CPC_PARITY_MARK = 4;
constexpr std::uint8_t CPC_PARITY_SPACE = 5;
constexpr std::uint8_t CPC_STOPSIZE_ONE_AND_HALF = 3;
constexpr std::uint8_t CPC_CONTROL_NO_FLOW = 1;
constexpr std::uint8_t CPC_PURGE_BOTH = 3;
constexpr std::uint8_t RTU_DATA_BITS = 8;
// The four settings confirmed, a bit each (baud rate first).
constexpr unsigned ALL_CONFIRMED = 0xF;
// A subnegotiation longer than any COM port control answer is kept only
// this far: a flood inside one cannot grow memory.
constexpr std::size_t SUB_LIMIT = 16;

// Binary both ways so 0x0D and 0x00 pass untouched; no go-ahead so either
// side may send at any time; COM port control to set the line. Nothing
// else, ECHO above all: a server that echoed our requests would hand each
// request back where the inverter's reply belongs.
bool Needed(std::uint8_t option)
{
    return option == OPTION_BINARY || option == OPTION_SGA || option == OPTION_COM_PORT;
}

char ParityLetter(std::uint8_t code)
{
    switch (code) {
    case CPC_PARITY_ODD: return 'O';
    case CPC_PARITY_EVEN: return 'E';
    case CPC_PARITY_MARK: return 'M';
    case CPC_PARITY_SPACE: return 'S';
    default: return 'N';
    }
}

std::uint8_t ParityCode(LineSettings::Parity parity)
{
    return parity == LineSettings::Parity::Even  ? CPC_PARITY_EVEN
           : parity == LineSettings::Parity::Odd ? CPC_PARITY_ODD
                                                 : CPC_PARITY_NONE;
}

// "9600 8N1", "19200 7E1.5": as LineSettings::text(), for what a converter
// may confirm.
std::string SettingsText(std::uint32_t baud, std::uint8_t dataSize, std::uint8_t parity,
                         std::uint8_t stopSize)
{
    const std::string stop =
        stopSize == CPC_STOPSIZE_ONE_AND_HALF ? "1.5" : std::to_string(stopSize);
    return std::to_string(baud) + " " + std::to_string(dataSize) + ParityLetter(parity) + stop;
}

} // namespace

bool NetPort::offerComPortControl(Clock::time_point deadline)
{
    const std::vector<std::uint8_t> offer = {
        IAC, WILL, OPTION_COM_PORT, IAC, WILL, OPTION_BINARY, IAC, DO, OPTION_BINARY,
        IAC, WILL, OPTION_SGA,      IAC, DO,   OPTION_SGA,
    };
    for (const std::uint8_t option : {OPTION_COM_PORT, OPTION_BINARY, OPTION_SGA}) {
        answered_.push_back(static_cast<std::uint16_t>(WILL << 8 | option));
        if (option != OPTION_COM_PORT)
            answered_.push_back(static_cast<std::uint16_t>(DO << 8 | option));
    }
    if (!sendRaw(offer)) {
        lastError_ = lostReason_;
        return false;
    }
    if (!waitDuringOpen(deadline, [this] { return comPortAnswer_ != 0; }))
        return false;
    if (comPortAnswer_ == 0) {
        lastError_ = "Connecting to " + name_.peer() +
                     ": no answer to the offer of COM port control (not an RFC 2217 server?)";
        return false;
    }
    if (comPortAnswer_ < 0) {
        lastError_ = "Connecting to " + name_.peer() + ": the server refuses COM port control";
        return false;
    }
    return true;
}

void NetPort::sendLineSettings()
{
    const std::uint32_t baud = line_.baud;
    sendComPortCommand(CPC_SET_BAUDRATE,
                       {static_cast<std::uint8_t>(baud >> 24),
                        static_cast<std::uint8_t>(baud >> 16), static_cast<std::uint8_t>(baud >> 8),
                        static_cast<std::uint8_t>(baud)});
    sendComPortCommand(CPC_SET_DATASIZE, {RTU_DATA_BITS});
    sendComPortCommand(CPC_SET_PARITY, {ParityCode(line_.parity)});
    // The stop size codes are 1 for one stop bit and 2 for two.
    sendComPortCommand(CPC_SET_STOPSIZE, {line_.stopBits});
    // A modem-line command: some servers (ser2net on a pseudo-terminal)
    // never acknowledge it, so nothing waits for the answer.
    sendComPortCommand(CPC_SET_CONTROL, {CPC_CONTROL_NO_FLOW});
}

// A converter that cannot do what was asked confirms what it does; those
// are the settings in force, and the run's timing must follow them.
bool NetPort::confirmLineSettings(Clock::time_point deadline)
{
    sendLineSettings();
    const Clock::time_point until = std::min(deadline, Clock::now() + CONFIRM_TIMEOUT);
    if (!waitDuringOpen(until, [this] { return confirmed_ == ALL_CONFIRMED; }))
        return false;
    const LineSettings asked = line_;
    std::uint32_t baud = asked.baud;
    std::uint8_t dataSize = RTU_DATA_BITS;
    std::uint8_t parity = ParityCode(asked.parity);
    std::uint8_t stopSize = asked.stopBits;
    if (confirmed_ & 1u)
        baud = confirmedBaud_;
    if (confirmed_ & 2u)
        dataSize = confirmedDataSize_;
    if (confirmed_ & 4u)
        parity = confirmedParity_;
    if (confirmed_ & 8u)
        stopSize = confirmedStopSize_;
    line_.baud = baud;
    if (parity <= CPC_PARITY_EVEN)
        line_.parity = parity == CPC_PARITY_EVEN  ? LineSettings::Parity::Even
                       : parity == CPC_PARITY_ODD ? LineSettings::Parity::Odd
                                                  : LineSettings::Parity::None;
    if (stopSize == 1 || stopSize == 2)
        line_.stopBits = stopSize;
    const std::string inForce = SettingsText(baud, dataSize, parity, stopSize);
    if (inForce != asked.text())
        notes_.push_back("the converter at " + name_.peer() + " keeps " + inForce + ", not " +
                         asked.text() + " as asked");
    if (confirmed_ != ALL_CONFIRMED)
        notes_.push_back("the converter at " + name_.peer() + " did not confirm " +
                         (confirmed_ == 0 ? "the line settings" : "all of the line settings") +
                         " within " + std::to_string(CONFIRM_TIMEOUT.count()) + " ms; " + inForce +
                         " is assumed");
    return true;
}

void NetPort::sendComPortCommand(std::uint8_t command, const std::vector<std::uint8_t>& value)
{
    std::vector<std::uint8_t> bytes = {IAC, SB, OPTION_COM_PORT, command};
    for (const std::uint8_t b : value) {
        bytes.push_back(b);
        if (b == IAC)
            bytes.push_back(IAC);
    }
    bytes.push_back(IAC);
    bytes.push_back(SE);
    sendRaw(bytes);
}

void NetPort::purgeConverter()
{
    sendComPortCommand(CPC_PURGE_DATA, {CPC_PURGE_BOTH});
}

std::vector<std::uint8_t> NetPort::telnetData(const std::uint8_t* bytes, std::uint32_t count)
{
    // A data byte 0xFF (a check byte can be one) is doubled so the server
    // does not take it for a command.
    std::vector<std::uint8_t> out;
    out.reserve(count + 2);
    for (std::uint32_t i = 0; i < count; ++i) {
        out.push_back(bytes[i]);
        if (bytes[i] == IAC)
            out.push_back(IAC);
    }
    return out;
}

void NetPort::decodeTelnet(const std::uint8_t* bytes, std::size_t length)
{
    std::size_t dataStart = 0;
    for (std::size_t i = 0; i < length; ++i) {
        const std::uint8_t b = bytes[i];
        switch (telnet_) {
        case Telnet::Data:
            if (b != IAC)
                continue;
            deliver(bytes + dataStart, i - dataStart);
            telnet_ = Telnet::Iac;
            break;
        case Telnet::Iac:
            telnet_ = Telnet::Data;
            if (b == IAC) {
                deliver(&b, 1);
            } else if (b == WILL || b == WONT || b == DO || b == DONT) {
                verb_ = b;
                telnet_ = Telnet::Verb;
            } else if (b == SB) {
                sub_.clear();
                telnet_ = Telnet::Sub;
            }
            // Any other command (NOP, go-ahead...) carries nothing for us.
            break;
        case Telnet::Verb:
            telnet_ = Telnet::Data;
            answerOption(verb_, b);
            break;
        case Telnet::Sub:
            if (b == IAC)
                telnet_ = Telnet::SubIac;
            else if (sub_.size() < SUB_LIMIT)
                sub_.push_back(b);
            break;
        case Telnet::SubIac:
            // A doubled IAC is payload; anything else (SE) ends it.
            if (b == IAC) {
                if (sub_.size() < SUB_LIMIT)
                    sub_.push_back(b);
                telnet_ = Telnet::Sub;
            } else {
                takeSubnegotiation();
                telnet_ = Telnet::Data;
            }
            break;
        }
        dataStart = i + 1;
    }
    if (telnet_ == Telnet::Data && dataStart < length)
        deliver(bytes + dataStart, length - dataStart);
}

// The converter's answers to the four line settings; line and modem state
// notifications and the other answers change nothing a run does.
void NetPort::takeSubnegotiation()
{
    if (sub_.size() < 3 || sub_[0] != OPTION_COM_PORT)
        return;
    const std::uint8_t* value = sub_.data() + 2;
    switch (sub_[1]) {
    case CPC_SERVER_ANSWER + CPC_SET_BAUDRATE:
        if (sub_.size() < 6)
            return;
        confirmedBaud_ = static_cast<std::uint32_t>(value[0]) << 24 |
                         static_cast<std::uint32_t>(value[1]) << 16 |
                         static_cast<std::uint32_t>(value[2]) << 8 | value[3];
        // 0 asks for the current value; as an answer it says nothing.
        if (confirmedBaud_ != 0)
            confirmed_ |= 1u;
        break;
    case CPC_SERVER_ANSWER + CPC_SET_DATASIZE:
        confirmedDataSize_ = value[0];
        confirmed_ |= value[0] != 0 ? 2u : 0u;
        break;
    case CPC_SERVER_ANSWER + CPC_SET_PARITY:
        confirmedParity_ = value[0];
        confirmed_ |= value[0] != 0 ? 4u : 0u;
        break;
    case CPC_SERVER_ANSWER + CPC_SET_STOPSIZE:
        confirmedStopSize_ = value[0];
        confirmed_ |= value[0] != 0 ? 8u : 0u;
        break;
    default: break;
    }
}

// Each answer is given once, so two sides that disagree cannot loop.
void NetPort::answerOption(std::uint8_t verb, std::uint8_t option)
{
    if (option == OPTION_COM_PORT && (verb == DO || verb == DONT))
        comPortAnswer_ = verb == DO ? 1 : -1;
    std::uint8_t reply = 0;
    if (verb == DO)
        reply = Needed(option) ? WILL : WONT;
    else if (verb == DONT)
        reply = WONT;
    else if (verb == WILL)
        reply = Needed(option) ? DO : DONT;
    else
        reply = DONT;
    const std::uint16_t key = static_cast<std::uint16_t>(reply << 8 | option);
    if (std::find(answered_.begin(), answered_.end(), key) != answered_.end())
        return;
    answered_.push_back(key);
    sendRaw({IAC, reply, option});
}

} // namespace korvanel
