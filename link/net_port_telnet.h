// rfc2217://: Telnet (RFC 854) with COM port control (RFC 2217). The
// stream is cut into the line's bytes and commands; the options are
// answered; the line settings go out as commands and the converter's
// confirmations are read.
#pragma once

#include "line_settings.h"
#include "net_codec.h"

namespace korvanel {

class TelnetCodec final : public NetCodec {
public:
    // How the server answered our offer of COM port control.
    enum class ComPortAnswer { None, Do, Dont };

    bool feed(const std::uint8_t* bytes, std::size_t length, std::vector<std::uint8_t>& data,
              std::vector<std::uint8_t>& reply, std::string& error) override;
    // A data byte 0xFF (a check byte can be one) doubled.
    std::vector<std::uint8_t> frame(const std::uint8_t* bytes, std::uint32_t count) override;
    // The converter drops what it still holds for the line.
    std::vector<std::uint8_t> runStart() override;

    // What we offer as the connection starts.
    std::vector<std::uint8_t> offer();
    ComPortAnswer comPortAnswer() const { return comPortAnswer_; }
    // The commands that set `line` on the converter.
    static std::vector<std::uint8_t> lineCommands(const LineSettings& line);
    // Each of the four settings (baud rate, data size, parity, stop size)
    // confirmed.
    bool allConfirmed() const;
    bool noneConfirmed() const { return confirmed_ == 0; }
    // The settings in force: those confirmed, the rest as `asked`; `text`
    // says them as the converter does ("19200 7E1.5").
    LineSettings inForce(const LineSettings& asked, std::string& text) const;

private:
    enum class State { Data, Iac, Verb, Sub, SubIac };
    void answerOption(std::uint8_t verb, std::uint8_t option, std::vector<std::uint8_t>& reply);
    void takeSubnegotiation();

    State state_ = State::Data;
    std::uint8_t verb_ = 0;
    ComPortAnswer comPortAnswer_ = ComPortAnswer::None;
    // Each answer (verb and option) given once, so two sides that disagree
    // cannot loop.
    std::vector<std::uint16_t> answered_;
    std::vector<std::uint8_t> sub_;
    // A bit per setting confirmed, baud rate first, and the values.
    unsigned confirmed_ = 0;
    std::uint32_t baud_ = 0;
    std::uint8_t dataSize_ = 0;
    std::uint8_t parity_ = 0;
    std::uint8_t stopSize_ = 0;
};

} // namespace korvanel
