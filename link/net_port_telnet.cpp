#include "net_port_telnet.h"

#include <algorithm>
#include <cstring>

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
// SET-PARITY's codes 1 to 5, by the letter a line's settings are named with.
constexpr char PARITY_LETTERS[] = "NOEMS";
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

// 'N' for a code outside 1 to 5.
char ParityLetter(std::uint8_t code)
{
    return code >= 1 && code < sizeof PARITY_LETTERS ? PARITY_LETTERS[code - 1] : 'N';
}

std::uint8_t ParityCode(char letter)
{
    return static_cast<std::uint8_t>(std::strchr(PARITY_LETTERS, letter) - PARITY_LETTERS + 1);
}

std::uint8_t ParityCode(LineSettings::Parity parity)
{
    return ParityCode(parity == LineSettings::Parity::Even  ? 'E'
                      : parity == LineSettings::Parity::Odd ? 'O'
                                                            : 'N');
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

std::vector<std::uint8_t> ComPortCommand(std::uint8_t command,
                                         const std::vector<std::uint8_t>& value)
{
    std::vector<std::uint8_t> bytes = {IAC, SB, OPTION_COM_PORT, command};
    for (const std::uint8_t b : value) {
        bytes.push_back(b);
        if (b == IAC)
            bytes.push_back(IAC);
    }
    bytes.push_back(IAC);
    bytes.push_back(SE);
    return bytes;
}

} // namespace

bool TelnetCodec::feed(const std::uint8_t* bytes, std::size_t length,
                       std::vector<std::uint8_t>& data, std::vector<std::uint8_t>& reply,
                       std::string&)
{
    for (std::size_t i = 0; i < length; ++i) {
        const std::uint8_t b = bytes[i];
        switch (state_) {
        case State::Data:
            if (b == IAC)
                state_ = State::Iac;
            else
                data.push_back(b);
            break;
        case State::Iac:
            state_ = State::Data;
            if (b == IAC) {
                data.push_back(b);
            } else if (b == WILL || b == WONT || b == DO || b == DONT) {
                verb_ = b;
                state_ = State::Verb;
            } else if (b == SB) {
                sub_.clear();
                state_ = State::Sub;
            }
            // Any other command (NOP, go-ahead...) carries nothing for us.
            break;
        case State::Verb:
            state_ = State::Data;
            answerOption(verb_, b, reply);
            break;
        case State::Sub:
            if (b == IAC)
                state_ = State::SubIac;
            else if (sub_.size() < SUB_LIMIT)
                sub_.push_back(b);
            break;
        case State::SubIac:
            // A doubled IAC is payload; anything else (SE) ends it.
            if (b == IAC) {
                if (sub_.size() < SUB_LIMIT)
                    sub_.push_back(b);
                state_ = State::Sub;
            } else {
                takeSubnegotiation();
                state_ = State::Data;
            }
            break;
        }
    }
    return true;
}

std::vector<std::uint8_t> TelnetCodec::frame(const std::uint8_t* bytes, std::uint32_t count)
{
    std::vector<std::uint8_t> out;
    out.reserve(count + 2);
    for (std::uint32_t i = 0; i < count; ++i) {
        out.push_back(bytes[i]);
        if (bytes[i] == IAC)
            out.push_back(IAC);
    }
    return out;
}

std::vector<std::uint8_t> TelnetCodec::runStart()
{
    return ComPortCommand(CPC_PURGE_DATA, {CPC_PURGE_BOTH});
}

std::vector<std::uint8_t> TelnetCodec::offer()
{
    for (const std::uint8_t option : {OPTION_COM_PORT, OPTION_BINARY, OPTION_SGA}) {
        answered_.push_back(static_cast<std::uint16_t>(WILL << 8 | option));
        if (option != OPTION_COM_PORT)
            answered_.push_back(static_cast<std::uint16_t>(DO << 8 | option));
    }
    return {
        IAC, WILL, OPTION_COM_PORT, IAC, WILL, OPTION_BINARY, IAC, DO, OPTION_BINARY,
        IAC, WILL, OPTION_SGA,      IAC, DO,   OPTION_SGA,
    };
}

std::vector<std::uint8_t> TelnetCodec::lineCommands(const LineSettings& line)
{
    const std::uint32_t baud = line.baud;
    std::vector<std::uint8_t> out = ComPortCommand(
        CPC_SET_BAUDRATE,
        {static_cast<std::uint8_t>(baud >> 24), static_cast<std::uint8_t>(baud >> 16),
         static_cast<std::uint8_t>(baud >> 8), static_cast<std::uint8_t>(baud)});
    const auto add = [&out](const std::vector<std::uint8_t>& command) {
        out.insert(out.end(), command.begin(), command.end());
    };
    add(ComPortCommand(CPC_SET_DATASIZE, {RTU_DATA_BITS}));
    add(ComPortCommand(CPC_SET_PARITY, {ParityCode(line.parity)}));
    // The stop size codes are 1 for one stop bit and 2 for two.
    add(ComPortCommand(CPC_SET_STOPSIZE, {line.stopBits}));
    // A modem-line command: some servers (ser2net on a pseudo-terminal)
    // never acknowledge it, so nothing waits for the answer.
    add(ComPortCommand(CPC_SET_CONTROL, {CPC_CONTROL_NO_FLOW}));
    return out;
}

bool TelnetCodec::allConfirmed() const
{
    return confirmed_ == ALL_CONFIRMED;
}

LineSettings TelnetCodec::inForce(const LineSettings& asked, std::string& text) const
{
    const std::uint32_t baud = confirmed_ & 1u ? baud_ : asked.baud;
    const std::uint8_t dataSize = confirmed_ & 2u ? dataSize_ : RTU_DATA_BITS;
    const std::uint8_t parity = confirmed_ & 4u ? parity_ : ParityCode(asked.parity);
    const std::uint8_t stopSize = confirmed_ & 8u ? stopSize_ : asked.stopBits;
    LineSettings line = asked;
    line.baud = baud;
    // Mark and space have no LineSettings of their own: the text says them.
    const char letter = ParityLetter(parity);
    if (letter == 'E' || letter == 'O' || letter == 'N')
        line.parity = letter == 'E'   ? LineSettings::Parity::Even
                      : letter == 'O' ? LineSettings::Parity::Odd
                                      : LineSettings::Parity::None;
    if (stopSize == 1 || stopSize == 2)
        line.stopBits = stopSize;
    text = SettingsText(baud, dataSize, parity, stopSize);
    return line;
}

// The converter's answers to the four line settings; line and modem state
// notifications and the other answers change nothing a run does.
void TelnetCodec::takeSubnegotiation()
{
    if (sub_.size() < 3 || sub_[0] != OPTION_COM_PORT)
        return;
    const std::uint8_t* value = sub_.data() + 2;
    switch (sub_[1]) {
    case CPC_SERVER_ANSWER + CPC_SET_BAUDRATE:
        if (sub_.size() < 6)
            return;
        baud_ = static_cast<std::uint32_t>(value[0]) << 24 |
                static_cast<std::uint32_t>(value[1]) << 16 |
                static_cast<std::uint32_t>(value[2]) << 8 | value[3];
        // 0 asks for the current value; as an answer it says nothing.
        if (baud_ != 0)
            confirmed_ |= 1u;
        break;
    case CPC_SERVER_ANSWER + CPC_SET_DATASIZE:
        dataSize_ = value[0];
        confirmed_ |= value[0] != 0 ? 2u : 0u;
        break;
    case CPC_SERVER_ANSWER + CPC_SET_PARITY:
        parity_ = value[0];
        confirmed_ |= value[0] != 0 ? 4u : 0u;
        break;
    case CPC_SERVER_ANSWER + CPC_SET_STOPSIZE:
        stopSize_ = value[0];
        confirmed_ |= value[0] != 0 ? 8u : 0u;
        break;
    default: break;
    }
}

void TelnetCodec::answerOption(std::uint8_t verb, std::uint8_t option,
                               std::vector<std::uint8_t>& reply)
{
    if (option == OPTION_COM_PORT && (verb == DO || verb == DONT))
        comPortAnswer_ = verb == DO ? ComPortAnswer::Do : ComPortAnswer::Dont;
    std::uint8_t answer = 0;
    if (verb == DO)
        answer = Needed(option) ? WILL : WONT;
    else if (verb == DONT)
        answer = WONT;
    else if (verb == WILL)
        answer = Needed(option) ? DO : DONT;
    else
        answer = DONT;
    const std::uint16_t key = static_cast<std::uint16_t>(answer << 8 | option);
    if (std::find(answered_.begin(), answered_.end(), key) != answered_.end())
        return;
    answered_.push_back(key);
    reply.insert(reply.end(), {IAC, answer, option});
}

} // namespace korvanel
